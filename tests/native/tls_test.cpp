// The client over TLS against a real mosquitto with a certificate made for the test by openssl: a
// verified session, a refusal with its reason line, and a reconnect. The same code paths run in the
// sanitizer builds (the library's error callback, the probe handshake, the reconnect worker).
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "certificate.h"
#include "console_capture.h"
#include "support.h"
#if MOVRA_TRANSPORT
#include "transport.h"
#endif

namespace movra::testing {
namespace {

struct TlsBroker {
    SelfSignedCertificate certificate;
    int port = freePort();
    Broker broker{Broker::Options{.extra = {
                                      "listener " + std::to_string(port) + " 127.0.0.1",
                                      "certfile " + certificate.cert(),
                                      "keyfile " + certificate.key(),
                                  }}};
    std::string address() const { return "127.0.0.1:" + std::to_string(port); }
};

TEST(Tls, VerifiedSessionRoundTripAndReconnect) {
    TlsBroker tls;
    SDK sdk;
    Inbox inbox;
    ConnectionLog log;
    sdk.on_message(inbox.handler());
    sdk.on_connection(log.handler());
    Settings settings{.protocol = "ssl", .autoReconnect = true, .maxReconnectInterval = 1};
    settings.tls.caFile = tls.certificate.cert();
    initClient(sdk, tls.address(), settings);
#if MOVRA_TRANSPORT
    movra_transport_counters before{};
    movra_transport_counters_get(&before);
#endif
    ASSERT_TRUE(sdk.connect());
    ASSERT_TRUE(sdk.subscribe("tls/native", 1));
    sdk.publish("tls/native", "sealed", 1, false);
    ASSERT_TRUE(inbox.waitForCount(1));
    EXPECT_EQ(inbox.messages()[0], (Message{"tls/native", "sealed"}));

    tls.broker.kill();
    ASSERT_TRUE(log.waitForCount(2));
    tls.broker.start();
    ASSERT_TRUE(log.waitForCount(3));
    EXPECT_TRUE(sdk.is_connected());
    sdk.stop();
    EXPECT_EQ(log.events(),
              (std::vector<std::pair<bool, int>>{{true, 0}, {false, -1}, {true, 0}, {false, 0}}));
#if MOVRA_TRANSPORT
    // Both sessions' sockets went to OpenSSL (which reads them itself) and kept TCP_NODELAY; the
    // transport layer's read buffer never served a byte of them.
    movra_transport_counters after{};
    movra_transport_counters_get(&after);
    EXPECT_GE(after.tls_sockets - before.tls_sockets, 2u);
    EXPECT_GE(after.nodelay_sockets - before.nodelay_sockets, 2u);
    EXPECT_EQ(after.buffered_reads, before.buffered_reads);
    EXPECT_EQ(after.socket_reads, before.socket_reads);
#endif
}

TEST(Tls, UntrustedCertificateIsAConnectFailureWithItsReason) {
    TlsBroker tls;
    SDK sdk;
    initClient(sdk, tls.address(), Settings{.protocol = "ssl"});
    ConsoleCapture console;
    EXPECT_FALSE(sdk.connect());
    EXPECT_FALSE(sdk.is_connected());
    const std::string err = console.err();
    EXPECT_EQ(err.rfind("[SDK] TLS: certificate verify failed; server certificate: ", 0), 0u)
        << err;
    EXPECT_NE(err.find("\n[SDK] connect failed, rc=-1\n"), std::string::npos) << err;
    console.restore();
    sdk.stop();
}

}  // namespace
}  // namespace movra::testing
