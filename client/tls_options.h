// TLS settings of a client, and every library connect made with them.
//
// TlsOptions is what the caller configures. TlsConnector turns it into Paho's MQTTClient_SSLOptions,
// hung on the client's connect options, with secure defaults: the server's certificate is verified
// (against the system trust store unless a CA bundle is given), the host name or IP address of the
// server URI is checked against it, and only TLS 1.2 or later is negotiated. Each connect through
// TlsConnector first checks the files it names (so a missing or unreadable file is reported by its
// name), and a failed connect writes one console line with the TLS reason of the failure.
//
// Threading contract
// - configure() and connect() are called with the owner's connect lock held: one at a time. The
//   TLS library reports its errors on the thread that runs connect() (Paho's synchronous client
//   makes the handshake there); the collected reasons have a lock of their own all the same.
// - The connect options point at record() from configure() on: the connect options record
//   (connect_options.h) owns the connector, which lives as long as the options pointing at it.
#pragma once

#include <MQTTClient.h>

#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "mutex.h"

namespace movra {

struct TlsOptions {
    // PEM file of the certificate authorities to trust instead of the system trust store.
    std::string caFile;
    // PEM file with the client's certificate chain, for brokers that ask for one (mutual TLS). It may
    // hold the private key too.
    std::string certFile;
    // PEM file of the private key of certFile, when certFile does not hold it.
    std::string keyFile;
    // Password of an encrypted keyFile (or of the key inside certFile).
    std::string keyPassword;
    // False skips the verification of the server's certificate and host name.
    bool verifyPeer = true;
};

// True for the schemes that run MQTT over TLS: "ssl", "mqtts" and "wss".
bool usesTls(std::string_view protocol);

// Throws std::invalid_argument for settings that cannot take effect as the caller means them: a
// file given for a scheme without TLS, keyFile or keyPassword without certFile.
void checkTlsOptions(const TlsOptions& options, std::string_view protocol);

class TlsConnector {
public:
    // Size limit of each file the options name; a CA bundle of the whole web is about 200 KiB.
    static constexpr std::size_t kMaxFileBytes = 4 * 1024 * 1024;

    TlsConnector() = default;
    TlsConnector(const TlsConnector&) = delete;
    TlsConnector& operator=(const TlsConnector&) = delete;

    // Builds the SSL record for a TLS scheme; none otherwise.
    void configure(const TlsOptions& options, std::string_view serverUri,
                   std::string_view protocol);
    // What the connect options' ssl points at: the record for a TLS scheme, null otherwise.
    MQTTClient_SSLOptions* record() { return enabled ? &ssl : nullptr; }

    // MQTTClient_connect, preceded by the file checks when TLS is on. A file that cannot be used is
    // reported by one console line naming it and fails the connect with MQTTCLIENT_FAILURE, without
    // a library call. A library connect that fails without a broker's refusal is followed by one
    // console line with the TLS reasons: those the library reported and that of a probe handshake
    // (tls_probe.h); none when there are none, as when nothing listens. The library call runs
    // in the process-wide order of inLibraryOrder (client_handle.h).
    int connect(MQTTClient client, MQTTClient_connectOptions& connectOptions);

private:
    static int onLibraryError(const char* text, std::size_t length, void* context);
    bool filesUsable() const;
    void reportReasons();

    bool enabled = false;
    TlsOptions options;
    std::string serverUri;
    MQTTClient_SSLOptions ssl = MQTTClient_SSLOptions_initializer;

    Mutex reasonMutex;
    // Distinct reasons of the current attempt, in order.
    std::vector<std::string> reasons GUARDED_BY(reasonMutex);
};

}  // namespace movra
