// A handshake of our own after a failed TLS connect, for the reason of the failure.
#include "tls_probe.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstring>
#include <memory>

namespace movra {
namespace {

struct Endpoint {
    std::string host;
    std::string port;
};

// host and port of scheme://host[:port][/path], IPv6 literals in brackets; the library's default
// ports of the TLS schemes when none is given.
Endpoint endpointOf(std::string_view uri) {
    const auto schemeEnd = uri.find("://");
    const std::string_view scheme = uri.substr(0, schemeEnd);
    std::string_view rest = schemeEnd == std::string_view::npos ? uri : uri.substr(schemeEnd + 3);
    rest = rest.substr(0, rest.find('/'));
    Endpoint endpoint{std::string(rest), scheme == "wss" ? "443" : "8883"};
    std::size_t portColon = std::string_view::npos;
    if (!rest.empty() && rest.front() == '[') {
        const auto close = rest.find(']');
        if (close == std::string_view::npos) return endpoint;
        endpoint.host = std::string(rest.substr(1, close - 1));
        if (close + 1 < rest.size() && rest[close + 1] == ':') portColon = close + 1;
    } else {
        portColon = rest.rfind(':');
        endpoint.host = std::string(rest.substr(0, portColon));
    }
    if (portColon != std::string_view::npos)
        endpoint.port = std::string(rest.substr(portColon + 1));
    return endpoint;
}

class Socket {
public:
    explicit Socket(int fd) : fd_(fd) {}
    ~Socket() {
        if (fd_ >= 0) ::close(fd_);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// A TCP connection to the endpoint, made within kProbeTimeout, blocking afterwards with that
// timeout on every read and write; -1 when none of its addresses answers.
int connectTcp(const Endpoint& endpoint) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(endpoint.host.c_str(), endpoint.port.c_str(), &hints, &found) != 0) return -1;
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> addresses(found, &::freeaddrinfo);
    for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
        int fd =
            ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
        if (fd < 0) continue;
        int rc = ::connect(fd, a->ai_addr, a->ai_addrlen);
        if (rc != 0 && errno == EINPROGRESS) {
            pollfd waiting{fd, POLLOUT, 0};
            int error = 0;
            socklen_t length = sizeof error;
            if (::poll(&waiting, 1, static_cast<int>(kProbeTimeout.count())) == 1 &&
                ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0) {
                rc = 0;
            }
        }
        if (rc == 0) {
            ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
            return fd;
        }
        ::close(fd);
    }
    return -1;
}

void setTimeout(int fd, std::chrono::milliseconds timeout) {
    timeval limit{};
    limit.tv_sec = static_cast<time_t>(timeout.count() / 1000);
    limit.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

int keyPassword(char* buffer, int size, int /*rwflag*/, void* userdata) {
    const auto* password = static_cast<const std::string*>(userdata);
    if (size <= 0 || password->size() >= static_cast<std::size_t>(size)) return 0;
    std::memcpy(buffer, password->data(), password->size());
    return static_cast<int>(password->size());
}

// The context the library would build from `options`, with the host check of `host` in the
// handshake; null when the options themselves cannot be loaded (the library reported that).
std::unique_ptr<SSL_CTX, decltype(&::SSL_CTX_free)> contextFor(const TlsOptions& options) {
    std::unique_ptr<SSL_CTX, decltype(&::SSL_CTX_free)> context(SSL_CTX_new(TLS_client_method()),
                                                                &::SSL_CTX_free);
    SSL_CTX* ctx = context.get();
    if (ctx == nullptr) return context;
    SSL_CTX_set_security_level(ctx, 1);
    SSL_CTX_set_verify(ctx, options.verifyPeer ? SSL_VERIFY_PEER : SSL_VERIFY_NONE, nullptr);
    bool loaded = options.caFile.empty()
                      ? SSL_CTX_set_default_verify_paths(ctx) == 1
                      : SSL_CTX_load_verify_locations(ctx, options.caFile.c_str(), nullptr) == 1;
    if (loaded && !options.certFile.empty()) {
        SSL_CTX_set_default_passwd_cb(ctx, &keyPassword);
        SSL_CTX_set_default_passwd_cb_userdata(ctx, const_cast<std::string*>(&options.keyPassword));
        const std::string& key = options.keyFile.empty() ? options.certFile : options.keyFile;
        loaded = SSL_CTX_use_certificate_chain_file(ctx, options.certFile.c_str()) == 1 &&
                 SSL_CTX_use_PrivateKey_file(ctx, key.c_str(), SSL_FILETYPE_PEM) == 1;
    }
    if (!loaded) context.reset();
    return context;
}

std::string queuedReason() {
    const unsigned long error = ERR_peek_last_error();
    const char* reason = error != 0 ? ERR_reason_error_string(error) : nullptr;
    return reason != nullptr ? reason : "";
}

}  // namespace

std::string probeTlsFailure(std::string_view serverUri, const TlsOptions& options) {
    const Endpoint endpoint = endpointOf(serverUri);
    auto context = contextFor(options);
    ERR_clear_error();
    if (!context || endpoint.host.empty()) return {};
    Socket socket(connectTcp(endpoint));
    if (socket.get() < 0) return {};
    setTimeout(socket.get(), kProbeTimeout);

    std::unique_ptr<SSL, decltype(&::SSL_free)> ssl(SSL_new(context.get()), &::SSL_free);
    if (!ssl || SSL_set_fd(ssl.get(), socket.get()) != 1) return {};
    in6_addr address{};
    const bool literal = ::inet_pton(AF_INET, endpoint.host.c_str(), &address) == 1 ||
                         ::inet_pton(AF_INET6, endpoint.host.c_str(), &address) == 1;
    if (!literal) SSL_set_tlsext_host_name(ssl.get(), endpoint.host.c_str());
    if (options.verifyPeer) {
        X509_VERIFY_PARAM* param = SSL_get0_param(ssl.get());
        if (literal) {
            X509_VERIFY_PARAM_set1_ip_asc(param, endpoint.host.c_str());
        } else {
            SSL_set1_host(ssl.get(), endpoint.host.c_str());
        }
    }

    std::string reason;
    if (SSL_connect(ssl.get()) != 1) {
        const long verified = options.verifyPeer ? SSL_get_verify_result(ssl.get()) : X509_V_OK;
        reason = verified != X509_V_OK
                     ? std::string("server certificate: ") + X509_verify_cert_error_string(verified)
                     : queuedReason();
    } else {
        // Under TLS 1.3 a server checks the client's certificate after the handshake and answers a
        // refusal with an alert; a broker that accepts the client stays silent until CONNECT.
        setTimeout(socket.get(), kProbeRefusalWait);
        char byte = 0;
        if (SSL_read(ssl.get(), &byte, 1) <= 0) reason = queuedReason();
        if (!reason.empty()) reason = "server refused the client: " + reason;
    }
    ERR_clear_error();
    return reason;
}

}  // namespace movra
