// libFuzzer target for the client: the real SDK (core, Paho's archive with the transport layer
// and its inbound guard) against a broker in this process whose bytes come from the fuzzer. The
// broker accepts the CONNECT and answers the client's SUBSCRIBE, QoS 1 PUBLISH and UNSUBSCRIBE
// correctly; after the CONNACK and after each of those calls it sends one fuzzer chunk. The input
// is a list of up to four chunks, each a length byte and that many bytes. A chunk that ends inside
// a packet ends the connection after it (a later answer would only complete that packet). The
// client makes its next call only once the broker has seen whether the chunk ended the connection:
// the library's subscribe, begun on a connection that is being lost, would wait out its 10 s
// timeout. Whatever the chunks hold, the process must not crash.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sdk.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

int listener() {
    static const int fd = [] {
        int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (s < 0 || ::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            ::listen(s, 4) != 0)
            __builtin_trap();
        return s;
    }();
    return fd;
}

int port() {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    ::getsockname(listener(), reinterpret_cast<sockaddr*>(&addr), &len);
    return ntohs(addr.sin_port);
}

// Whether the bytes are whole packets (a fixed header and as many bytes as it announces, each).
bool wholePackets(const Bytes& bytes) {
    std::size_t at = 0;
    while (at < bytes.size()) {
        std::size_t remaining = 0, i = at + 1;
        for (int shift = 0;; shift += 7, ++i) {
            if (i >= bytes.size() || shift > 21) return false;
            remaining |= std::size_t(bytes[i] & 0x7f) << shift;
            if (!(bytes[i] & 0x80)) break;
        }
        at = i + 1 + remaining;
    }
    return at == bytes.size();
}

// Reads one packet from the client within a second; false when the connection ends first.
bool readPacket(int fd, std::uint8_t& header, Bytes& body) {
    auto get = [fd](std::uint8_t* to, std::size_t n) {
        for (std::size_t got = 0; got < n;) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 1000) <= 0) return false;
            ssize_t r = ::recv(fd, to + got, n - got, 0);
            if (r <= 0) return false;
            got += std::size_t(r);
        }
        return true;
    };
    if (!get(&header, 1)) return false;
    std::size_t remaining = 0;
    std::uint8_t b = 0x80;
    for (int shift = 0; b & 0x80; shift += 7) {
        if (shift > 21 || !get(&b, 1)) return false;
        remaining |= std::size_t(b & 0x7f) << shift;
    }
    body.resize(remaining);
    return get(body.data(), remaining);
}

// The chunks the client asked for and the broker has sent: the client asks for one after its
// connect and after each call, and goes on once the broker has seen whether it ended the
// connection.
struct Feed {
    std::mutex mutex;
    std::condition_variable changed;
    std::size_t requested = 0, sent = 0;
    bool over = false;

    void request(std::size_t count) {
        std::unique_lock lock(mutex);
        requested = count;
        changed.notify_all();
        changed.wait_for(lock, std::chrono::seconds(3), [&] { return sent >= count || over; });
    }
    bool pending() {
        std::lock_guard lock(mutex);
        return requested > sent;
    }
    void done(bool end) {
        {
            std::lock_guard lock(mutex);
            ++sent;
            over = over || end;
        }
        changed.notify_all();
    }
};

// Waits up to ms for the client to close its end.
void awaitClose(int fd, int ms) {
    pollfd p{fd, POLLRDHUP, 0};
    ::poll(&p, 1, ms);
}

void session(int fd, const std::vector<Bytes>& chunks, Feed& feed) {
    std::size_t next = 0;
    for (;;) {
        if (feed.pending()) {
            const Bytes none;
            const Bytes& chunk = next < chunks.size() ? chunks[next] : none;
            ++next;
            ::send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL);
            if (!wholePackets(chunk)) {
                // A later answer would only complete this packet: the connection ends here.
                ::shutdown(fd, SHUT_WR);
                awaitClose(fd, 1000);
                return;
            }
            // The inbound guard ends the connection on a violation.
            if (!chunk.empty()) awaitClose(fd, 50);
            feed.done(false);
        }
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 5) == 0) continue;
        std::uint8_t header = 0;
        Bytes body;
        if (!readPacket(fd, header, body)) return;
        const std::uint8_t idHigh = body.size() >= 2 ? body[0] : 0;
        const std::uint8_t idLow = body.size() >= 2 ? body[1] : 0;
        Bytes answer;
        switch (header >> 4) {
            case 1:
                answer = {0x20, 2, 0, 0};
                break;
            case 3:
                if (((header >> 1) & 3) == 1 && body.size() >= 2) {
                    const std::size_t at = 2 + ((std::size_t(body[0]) << 8) | body[1]);
                    if (at + 2 <= body.size()) answer = {0x40, 2, body[at], body[at + 1]};
                }
                break;
            case 8:
                answer = {0x90, 3, idHigh, idLow, 1};
                break;
            case 10:
                answer = {0xb0, 2, idHigh, idLow};
                break;
            case 12:
                answer = {0xd0, 0};
                break;
            default:
                break;
        }
        ::send(fd, answer.data(), answer.size(), MSG_NOSIGNAL);
    }
}

void serve(const std::vector<Bytes>& chunks, Feed& feed) {
    pollfd p{listener(), POLLIN, 0};
    int fd = ::poll(&p, 1, 5000) > 0 ? ::accept4(listener(), nullptr, nullptr, SOCK_CLOEXEC) : -1;
    if (fd >= 0) {
        session(fd, chunks, feed);
        ::close(fd);
    }
    feed.done(true);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<Bytes> chunks;
    for (std::size_t at = 0; at < size && chunks.size() < 4;) {
        const std::size_t n = data[at++];
        const std::size_t take = n < size - at ? n : size - at;
        chunks.emplace_back(data + at, data + at + take);
        at += take;
    }
    Feed feed;
    std::thread broker(serve, std::cref(chunks), std::ref(feed));
    {
        movra::SDK sdk;
        sdk.on_message([](const std::string&, const std::string&) {});
        movra::InitOptions options{};
        options.clientId = "fuzz";
        options.brokerHost = "127.0.0.1:" + std::to_string(port());
        options.protocol = "tcp";
        options.autoReconnect = false;
        options.connectTimeout = 2;
        sdk.init(options);
        if (sdk.connect()) {
            feed.request(1);
            sdk.subscribe("fuzz/t", 1);
            feed.request(2);
            sdk.publish("fuzz/t", "payload", 1, false);
            feed.request(3);
            sdk.unsubscribe("fuzz/t");
            feed.request(4);
        }
        sdk.stop();
    }
    broker.join();
    return 0;
}
