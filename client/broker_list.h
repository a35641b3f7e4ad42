// The addresses of one service: brokerHost, then the failover addresses, as server URIs of one
// scheme, and which of them a connect tries.
//
// With one address the library connects to the URI the client was created with, as before. With
// more, each library connect names one address through the connect options' server URI list (the
// TLS host-name check then applies to that address), and each attempt is bounded by
// kFailoverAttemptSeconds, or connectTimeout when that is shorter: a node that accepts TCP and
// never answers the CONNECT costs a few seconds, not the whole connectTimeout.
//
// Threading contract: not thread-safe; the connect options record (connect_options.h) owns the list
// and calls it with its owner's connect lock held. The URI texts, and the pointers target() hands
// out, stay in place until the next assign().
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace movra {

class BrokerList {
public:
    static constexpr int kFailoverAttemptSeconds = 3;

    // Throws std::invalid_argument when an address is not "host:port" (a port 1-65535, and for the
    // WebSocket schemes an optional "/path" after it), or holds a blank or control character.
    static void check(const std::vector<std::string>& failoverHosts);

    // brokerHost first.
    void assign(std::string_view protocol, std::string_view brokerHost,
                const std::vector<std::string>& failoverHosts);
    // The connect timeout each attempt gets.
    int attemptTimeout(int connectTimeout) const;

    std::size_t size() const { return uris.size(); }
    const std::string& uri(std::size_t index) const { return uris[index]; }
    // The address after `index`, round the list.
    std::size_t after(std::size_t index) const { return uris.empty() ? 0 : (index + 1) % size(); }
    // The one-address list that sends a library connect to that address, for the connect options'
    // serverURIs; null with a single address (the client's own URI is used, exactly as without a
    // list).
    char* const* target(std::size_t index) const;

private:
    std::vector<std::string> uris;
    std::vector<char*> list;  // the library's view of uris
};

}  // namespace movra
