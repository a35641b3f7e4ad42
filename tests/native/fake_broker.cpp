#include "fake_broker.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>
#include <vector>

namespace movra::testing {
namespace {

// Reads one length-prefixed field of the packet body; false when the body is too short.
bool field(const std::vector<std::uint8_t>& body, std::size_t& at, std::string& out) {
    if (at + 2 > body.size()) return false;
    std::size_t length = (std::size_t{body[at]} << 8) | body[at + 1];
    at += 2;
    if (at + length > body.size()) return false;
    out.assign(reinterpret_cast<const char*>(body.data() + at), length);
    at += length;
    return true;
}

std::optional<ConnectPacket> parseConnect(const std::vector<std::uint8_t>& body) {
    ConnectPacket packet;
    std::size_t at = 0;
    std::string protocol;
    if (!field(body, at, protocol) || at + 4 > body.size()) return std::nullopt;
    packet.flags = body[at + 1];
    packet.keepAlive = (body[at + 2] << 8) | body[at + 3];
    at += 4;
    if (!field(body, at, packet.clientId)) return std::nullopt;
    if (packet.flags & 0x04) {  // will topic and message
        std::string skip;
        if (!field(body, at, skip) || !field(body, at, skip)) return std::nullopt;
    }
    std::string text;
    if (packet.flags & 0x80) {
        if (!field(body, at, text)) return std::nullopt;
        packet.username = text;
    }
    if (packet.flags & 0x40) {
        if (!field(body, at, text)) return std::nullopt;
        packet.password = text;
    }
    return packet;
}

}  // namespace

FakeBroker::FakeBroker(bool accept) : acceptSessions(accept) {
    listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listener, 4) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        throw std::runtime_error("fake broker: cannot listen on 127.0.0.1");
    port = ntohs(addr.sin_port);
    thread = std::thread(&FakeBroker::serve, this);
}

FakeBroker::~FakeBroker() {
    {
        std::lock_guard lock(mutex);
        closing = true;
    }
    ::shutdown(listener, SHUT_RDWR);
    cut();
    thread.join();
    ::close(listener);
}

void FakeBroker::serve() {
    // Polls with a short timeout so that `closing` is seen promptly.
    auto readable = [this](int fd) {
        for (;;) {
            {
                std::lock_guard lock(mutex);
                if (closing) return false;
            }
            pollfd p{fd, POLLIN, 0};
            int n = ::poll(&p, 1, 20);
            if (n > 0) return true;
            if (n < 0) return false;
        }
    };
    // One connection at a time; the library tries again (MQTT 3.1 after 3.1.1) after a refusal.
    while (readable(listener)) {
        int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) return;
        {
            std::lock_guard lock(mutex);
            connection = fd;
        }
        session(fd, readable);
        std::lock_guard lock(mutex);
        ::close(fd);
        connection = -1;
    }
}

template <typename Readable>
void FakeBroker::session(int fd, Readable& readable) {
    std::vector<std::uint8_t> data;
    std::uint8_t buffer[4096];
    bool parsed = false;
    while (readable(fd)) {
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) return;
        if (parsed) {
            std::lock_guard lock(mutex);
            afterConnect += static_cast<std::size_t>(n);
            continue;
        }
        data.insert(data.end(), buffer, buffer + n);
        // Fixed header: type byte, then the remaining length in 7-bit groups.
        std::size_t remaining = 0, at = 1;
        int shift = 0;
        bool complete = false;
        while (at < data.size()) {
            remaining |= std::size_t{data[at] & 0x7fu} << shift;
            shift += 7;
            if ((data[at++] & 0x80) == 0) {
                complete = data.size() >= at + remaining;
                break;
            }
        }
        if (!complete) continue;
        std::vector<std::uint8_t> body(data.begin() + at, data.begin() + at + remaining);
        parsed = true;
        {
            std::lock_guard lock(mutex);
            if (!connect) connect = parseConnect(body);
            afterConnect = data.size() - at - remaining;
        }
        changed.notify_all();
        // Return code 0 accepts the session, 5 refuses it (not authorised).
        const std::uint8_t connack[] = {0x20, 0x02, 0x00, std::uint8_t(acceptSessions ? 0 : 5)};
        ::send(fd, connack, sizeof connack, MSG_NOSIGNAL);
        if (!acceptSessions) return;
    }
}

std::optional<ConnectPacket> FakeBroker::waitForConnect(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex);
    changed.wait_for(lock, timeout, [&] { return connect.has_value(); });
    return connect;
}

std::size_t FakeBroker::bytesAfterConnect() {
    std::lock_guard lock(mutex);
    return afterConnect;
}

void FakeBroker::cut() {
    std::lock_guard lock(mutex);
    if (connection >= 0) ::shutdown(connection, SHUT_RDWR);
}

}  // namespace movra::testing
