// Why a TLS connect failed, found out with a handshake of our own.
//
// Paho reports the TLS library's errors of a handshake that fails inside OpenSSL, but not why: a
// certificate that failed verification is "certificate verify failed" whether it expired or comes
// from an unknown CA. It checks the host name after the handshake without any report, and a broker
// that refuses the client's certificate under TLS 1.3 does so after the handshake, where Paho reports
// nothing either. After a failed connect the probe makes one more handshake to the same server with
// the same settings, the host check done by OpenSSL within the handshake, and returns OpenSSL's
// reason: "certificate has expired", "hostname mismatch", "tlsv13 alert certificate required", …
// It sends nothing after the handshake and waits at most kProbeTimeout per step.
//
// Threading contract: a free function with no shared state; OpenSSL objects are its own.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "tls_options.h"

namespace movra {

inline constexpr std::chrono::milliseconds kProbeTimeout{2000};
// How long the probe waits after a handshake for a refusal of the client's certificate.
inline constexpr std::chrono::milliseconds kProbeRefusalWait{500};

// The reason a handshake with the server of `serverUri` (scheme://host[:port][/path]) fails with
// `options`, or empty when it does not fail or the server cannot be reached over TCP.
std::string probeTlsFailure(std::string_view serverUri, const TlsOptions& options);

}  // namespace movra
