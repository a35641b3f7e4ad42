// The connect options record: init's settings, the password wrap, and the struct pointed at them.
#include "connect_options.h"

#include <cstring>
#include <optional>
#include <utility>

#include "password_wrap.h"

namespace movra {

ConnectOptions::ConnectOptions() { update(); }

void ConnectOptions::assign(const InitOptions& options) {
    uri = options.protocol + "://" + options.brokerHost;
    identifier = options.clientId;
    username = options.username;
    password = options.password;
    enterprise = options.edition == "Enterprise";
    token.clear();
    wrapped = false;
    list.assign(options.protocol, options.brokerHost, options.failoverHosts);
    tls.configure(options.tls, uri, options.protocol);
    will.configure(options.will);
    c.keepAliveInterval = options.keepAlive;
    c.cleansession = options.cleanSession ? 1 : 0;
    c.retryInterval = options.writeTimeout;
    c.connectTimeout = list.attemptTimeout(options.connectTimeout);
    // The same window as the outbound pipeline's, which never lets the library's fill.
    c.maxInflightMessages = options.maxInflight;
    update();
}

int ConnectOptions::renewCredentials() {
    if (enterprise) {
        // A failed wrap leaves the last token in place, if one was made since assign().
        if (std::optional<std::string> fresh = crypto::wrapPassword(password)) {
            token = std::move(*fresh);
            wrapped = true;
            update();
        }
        if (!wrapped) return kPasswordNotWrapped;
    }
    return credentialsFit() ? MQTTCLIENT_SUCCESS : kStringTooLong;
}

bool ConnectOptions::credentialsFit() const {
    // The library takes all three as C strings and sends them up to their first zero byte.
    auto fits = [](const char* text) { return std::strlen(text) <= kMaxStringLength; };
    return fits(identifier.c_str()) && fits(c.username) && fits(c.password);
}

int ConnectOptions::connect(MQTTClient client, std::size_t index) {
    // One address: the client's own URI, exactly as without a list.
    c.serverURIs = list.target(index);
    c.serverURIcount = c.serverURIs != nullptr ? 1 : 0;
    return tls.connect(client, c);
}

void ConnectOptions::update() {
    c.username = username.c_str();
    c.password = wrapped ? token.c_str() : password.c_str();
    c.serverURIs = nullptr;
    c.serverURIcount = 0;
    c.ssl = tls.record();
    c.will = will.record();
}

}  // namespace movra
