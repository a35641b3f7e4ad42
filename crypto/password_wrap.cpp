#include "password_wrap.h"

#include <cstdint>

#include "cjose_handles.h"
#include "console.h"
#include "server_key.h"

namespace movra::crypto {

std::optional<std::string> wrapPassword(std::string_view password) {
    // Declared key first so that the objects are released JWE, header, key: the reverse order.
    cjose_err error{};
    JwkPtr key(cjose_jwk_import(serverPublicKey, serverPublicKeyLength, &error));
    if (!key) {
        console::err("JWK import failed");
        return std::nullopt;
    }
    HeaderPtr header(cjose_header_new(&error));
    if (!header) {
        console::err("JWE header creation failed");
        return std::nullopt;
    }
    cjose_header_set(header.get(), CJOSE_HDR_ALG, CJOSE_HDR_ALG_RSA_OAEP, &error);
    cjose_header_set(header.get(), CJOSE_HDR_ENC, CJOSE_HDR_ENC_A256GCM, &error);

    // cjose refuses a null plaintext pointer even for an empty password.
    static const std::uint8_t empty = 0;
    const auto* plaintext =
        password.empty() ? &empty : reinterpret_cast<const std::uint8_t*>(password.data());
    JwePtr jwe(cjose_jwe_encrypt(key.get(), header.get(), plaintext, password.size(), &error));
    if (!jwe) {
        console::err("JWE encryption failed");
        return std::nullopt;
    }
    CjoseText compact(cjose_jwe_export(jwe.get(), &error));
    if (!compact) {
        console::err("JWE export failed");
        return std::nullopt;
    }
    return std::string(compact.get());
}

}  // namespace movra::crypto
