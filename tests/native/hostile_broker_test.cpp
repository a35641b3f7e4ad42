// A broker that breaks the protocol while a subscribe waits, over plain TCP and over TLS: the
// library alone crashes the process on these answers (it takes whatever it stored last for the
// SUBACK). With the inbound guard the connection ends as a loss with one line naming the
// violation, and the client connects again.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "certificate.h"
#include "console_capture.h"
#include "support.h"

namespace movra::testing {
namespace {

// Serves one connection at a time on 127.0.0.1, over TLS when given a certificate. It accepts
// every CONNECT, answers PINGREQ, and answers the first SUBSCRIBE of its first session with
// `hostile` (a packet identifier is appended); every later SUBSCRIBE gets its SUBACK.
class HostileBroker {
public:
    HostileBroker(std::string hostile, const SelfSignedCertificate* tls)
        : hostile(std::move(hostile)) {
        if (tls) {
            context.reset(SSL_CTX_new(TLS_server_method()));
            if (SSL_CTX_use_certificate_file(context.get(), tls->cert().c_str(),
                                             SSL_FILETYPE_PEM) != 1 ||
                SSL_CTX_use_PrivateKey_file(context.get(), tls->key().c_str(), SSL_FILETYPE_PEM) !=
                    1)
                throw std::runtime_error("hostile broker: cannot load the certificate");
        }
        listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            ::listen(listener, 4) != 0 ||
            ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
            throw std::runtime_error("hostile broker: cannot listen");
        port = ntohs(addr.sin_port);
        thread = std::thread([this] { serve(); });
    }
    ~HostileBroker() {
        closing = true;
        ::shutdown(listener, SHUT_RDWR);
        ::shutdown(connection.load(), SHUT_RDWR);
        thread.join();
        ::close(listener);
    }
    std::string address() const { return "127.0.0.1:" + std::to_string(port); }

private:
    struct SslFree {
        void operator()(SSL* ssl) const { SSL_free(ssl); }
        void operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }
    };

    void serve() {
        while (!closing) {
            int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) return;
            connection = fd;
            std::unique_ptr<SSL, SslFree> ssl;
            if (context) {
                ssl.reset(SSL_new(context.get()));
                SSL_set_fd(ssl.get(), fd);
                if (SSL_accept(ssl.get()) != 1) ssl.reset();
            }
            if (!context || ssl) session(fd, ssl.get());
            connection = -1;
            ::close(fd);
        }
    }

    bool read(int fd, SSL* ssl, std::uint8_t* to, std::size_t n) {
        for (std::size_t got = 0; got < n;) {
            int r =
                ssl ? SSL_read(ssl, to + got, int(n - got)) : int(::recv(fd, to + got, n - got, 0));
            if (r <= 0) return false;
            got += std::size_t(r);
        }
        return true;
    }

    void send(int fd, SSL* ssl, const std::string& bytes) {
        if (ssl)
            SSL_write(ssl, bytes.data(), int(bytes.size()));
        else
            ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    }

    void session(int fd, SSL* ssl) {
        std::uint8_t header = 0;
        while (read(fd, ssl, &header, 1)) {
            std::size_t remaining = 0;
            std::uint8_t b = 0x80;
            for (int shift = 0; b & 0x80; shift += 7) {
                if (!read(fd, ssl, &b, 1)) return;
                remaining |= std::size_t(b & 0x7f) << shift;
            }
            std::vector<std::uint8_t> body(remaining);
            if (!read(fd, ssl, body.data(), remaining)) return;
            const std::string id =
                remaining >= 2 ? std::string(body.begin(), body.begin() + 2) : "";
            switch (header >> 4) {
                case 1:
                    send(fd, ssl, std::string("\x20\x02\x00\x00", 4));
                    break;
                case 12:
                    send(fd, ssl, std::string("\xd0\x00", 2));
                    break;
                case 8:
                    // A two-byte answer is an acknowledgement's fixed header: the identifier follows.
                    send(fd, ssl,
                         sessions++ > 0        ? "\x90\x03" + id + '\x01'
                         : hostile.size() == 2 ? hostile + id
                                               : hostile);
                    break;
                default:
                    break;
            }
        }
    }

    std::string hostile;
    std::unique_ptr<SSL_CTX, SslFree> context;
    int listener = -1;
    int port = 0;
    std::atomic<int> connection{-1};
    std::atomic<bool> closing{false};
    int sessions = 0;
    std::thread thread;
};

TEST(HostileBroker, AViolationEndsTheConnectionAsALossNamedOnTheConsole) {
    SelfSignedCertificate certificate;
    struct Case {
        bool tls;
        std::string answer;
        std::string violation;
    };
    const std::string secondConnack("\x20\x02\x00\x05", 4);
    const std::string unsuback("\xb0\x02", 2);
    const Case cases[] = {
        {false, secondConnack, "a second CONNACK on the connection"},
        {false, unsuback, "UNSUBACK while no UNSUBSCRIBE awaits one"},
        {true, secondConnack, "a second CONNACK on the connection"},
        {true, unsuback, "UNSUBACK while no UNSUBSCRIBE awaits one"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE((c.tls ? "TLS: " : "TCP: ") + c.violation);
        HostileBroker broker(c.answer, c.tls ? &certificate : nullptr);
        SDK sdk;
        ConnectionLog log;
        sdk.on_connection(log.handler());
        // No reconnect worker: the library's subscribe, when its receive thread ended with the
        // connection before the subscribe began to wait, reads the socket itself until its
        // timeout, and a receive thread that a reconnect started meanwhile would race with it.
        Settings settings{.protocol = c.tls ? "ssl" : "tcp", .autoReconnect = false};
        if (c.tls) settings.tls.caFile = certificate.cert();
        initClient(sdk, broker.address(), settings);
        ConsoleCapture console;
        ASSERT_TRUE(sdk.connect());
        // The library's subscribe sees no answer and returns after its own 10 s timeout.
        EXPECT_FALSE(sdk.subscribe("hostile/t", 1));
        ASSERT_TRUE(log.waitForCount(2));
        ASSERT_TRUE(sdk.connect());
        EXPECT_TRUE(sdk.subscribe("hostile/t", 1));
        sdk.stop();
        console.restore();
        EXPECT_EQ(occurrences(console.err(),
                              "[SDK] Connection closed: the broker broke the MQTT "
                              "protocol (" +
                                  c.violation + ")\n"),
                  1u)
            << console.err();
        EXPECT_EQ(log.events(), (std::vector<std::pair<bool, int>>{
                                    {true, 0}, {false, -1}, {true, 0}, {false, 0}}));
    }
}

}  // namespace
}  // namespace movra::testing
