// Owners of cjose objects: each released by cjose's own release function.
#pragma once

#include <cjose/cjose.h>

#include <memory>

namespace movra::crypto {

struct JwkDeleter {
    void operator()(cjose_jwk_t* jwk) const noexcept { cjose_jwk_release(jwk); }
};
struct HeaderDeleter {
    void operator()(cjose_header_t* header) const noexcept { cjose_header_release(header); }
};
struct JweDeleter {
    void operator()(cjose_jwe_t* jwe) const noexcept { cjose_jwe_release(jwe); }
};
// Text that cjose allocated, released with cjose's deallocator.
struct CjoseTextDeleter {
    void operator()(char* text) const noexcept { cjose_get_dealloc()(text); }
};

using JwkPtr = std::unique_ptr<cjose_jwk_t, JwkDeleter>;
using HeaderPtr = std::unique_ptr<cjose_header_t, HeaderDeleter>;
using JwePtr = std::unique_ptr<cjose_jwe_t, JweDeleter>;
using CjoseText = std::unique_ptr<char, CjoseTextDeleter>;

}  // namespace movra::crypto
