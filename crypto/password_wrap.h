// Wrapping of the MQTT password into a JWE compact token for the "Enterprise" edition.
//
// Threading contract: wrapPassword is reentrant; it shares nothing between calls.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace movra::crypto {

// Encrypts the whole password (RSA-OAEP key management, A256GCM content encryption) to
// serverPublicKey and returns the compact serialization. On failure writes the failing step's line
// to standard error and returns nothing.
std::optional<std::string> wrapPassword(std::string_view password);

}  // namespace movra::crypto
