// The deployment's RSA public key (a single-line JWK of 425 characters), compiled in at build time.
#pragma once

#include <cstddef>

namespace movra::crypto {

extern const char serverPublicKey[];
extern const std::size_t serverPublicKeyLength;

}  // namespace movra::crypto
