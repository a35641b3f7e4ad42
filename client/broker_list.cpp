// Failover addresses: their check and the URI list a library connect is pointed at.
#include "broker_list.h"

#include <algorithm>
#include <charconv>
#include <stdexcept>

namespace movra {

void BrokerList::check(const std::vector<std::string>& failoverHosts) {
    for (const std::string& address : failoverHosts) {
        const auto refuse = [&](const char* why) {
            throw std::invalid_argument("failoverHosts: '" + address + "' " + why);
        };
        if (std::any_of(address.begin(), address.end(),
                        [](unsigned char c) { return c <= ' ' || c == 0x7f; }))
            refuse("holds a blank or control character");
        if (address.find("://") != std::string::npos)
            refuse("names a scheme: give host:port, the scheme is init's protocol");
        const std::string_view hostPort = std::string_view(address).substr(0, address.find('/'));
        const auto colon = hostPort.rfind(':');
        if (colon == std::string_view::npos || colon == 0) refuse("is not host:port");
        const std::string_view port = hostPort.substr(colon + 1);
        int number = 0;
        const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), number);
        if (port.empty() || ec != std::errc{} || end != port.data() + port.size() || number < 1 ||
            number > 65535)
            refuse("has no port between 1 and 65535");
    }
}

void BrokerList::assign(std::string_view protocol, std::string_view brokerHost,
                        const std::vector<std::string>& failoverHosts) {
    uris.clear();
    uris.push_back(std::string(protocol) + "://" + std::string(brokerHost));
    for (const std::string& address : failoverHosts)
        uris.push_back(std::string(protocol) + "://" + address);
    list.clear();
    for (std::string& uri : uris) list.push_back(uri.data());
}

int BrokerList::attemptTimeout(int connectTimeout) const {
    return size() > 1 ? std::min(connectTimeout, kFailoverAttemptSeconds) : connectTimeout;
}

char* const* BrokerList::target(std::size_t index) const {
    return size() < 2 ? nullptr : &list[index];
}

}  // namespace movra
