// The connect options of one library client: every setting of init that a library connect sends,
// and Paho's MQTTClient_connectOptions built from them.
//
// The record owns every text its C struct points at: the server URI and the client identifier the
// client is created with, the user name, the password and the token it is wrapped into, the broker
// list (broker_list.h), the TLS record (tls_options.h) and the will record (will_options.h). Only
// update() points the struct at them, after every change of what it points at, and connect() at
// the address of that connect; nothing else writes a pointer into it. So nothing it hands the
// library points at text that can be released, and the record can be neither copied nor moved.
//
// The password goes out as given, or in the "Enterprise" edition as a JWE token made by
// renewCredentials() at each explicit connect. A failed wrap fails closed: the options keep the
// last token made since assign(), and without one the connect is refused; the plain Enterprise
// password is never sent.
//
// Threading contract: not thread-safe. The owner calls every member with its connect lock held
// (library_session.h), so the struct is never rewritten under a library connect that reads it.
#pragma once

#include <MQTTClient.h>

#include <cstddef>
#include <string>

#include "broker_list.h"
#include "init_options.h"
#include "tls_options.h"
#include "will_options.h"

namespace movra {

class ConnectOptions {
public:
    // MQTT strings (the client identifier, the user name, the password) carry a 16-bit length.
    static constexpr std::size_t kMaxStringLength = 65535;
    static constexpr int kStringTooLong = MQTTCLIENT_BAD_STRUCTURE;
    // The password could not be wrapped and no token has been made since assign(). A code outside
    // the library's own range.
    static constexpr int kPasswordNotWrapped = -100;

    ConnectOptions();
    ConnectOptions(const ConnectOptions&) = delete;
    ConnectOptions& operator=(const ConnectOptions&) = delete;
    ConnectOptions(ConnectOptions&&) = delete;
    ConnectOptions& operator=(ConnectOptions&&) = delete;

    // Takes every setting of init that a connect sends; a token made before is dropped.
    void assign(const InitOptions& options);

    // The step of an explicit connect before its library connect. In the Enterprise edition the
    // password is wrapped into a fresh token (the reconnect worker's attempts send the last one).
    // Returns 0 when the options can be sent, kPasswordNotWrapped when no token was ever made, and
    // kStringTooLong when the client identifier, the user name or what goes out as the password
    // does not fit an MQTT string.
    int renewCredentials();

    // Points the struct at the address `index` of the broker list and makes one library connect
    // through the TLS connector (tls_options.h).
    int connect(MQTTClient client, std::size_t index);
    // Whether the broker kept a session for the last successful connect (the CONNACK's flag).
    bool sessionPresent() const { return c.returned.sessionPresent != 0; }

    const std::string& serverUri() const { return uri; }
    const std::string& clientId() const { return identifier; }
    const BrokerList& brokers() const { return list; }
    // The struct as the library reads it.
    const MQTTClient_connectOptions& view() const { return c; }

private:
    bool credentialsFit() const;
    // Points every field of the struct at this record's own storage.
    void update();

    std::string uri;
    std::string identifier;
    std::string username;
    std::string password;
    bool enterprise = false;
    std::string token;
    // `token` holds a wrap made since assign(); the struct sends it instead of the password.
    bool wrapped = false;
    BrokerList list;
    TlsConnector tls;
    WillRecord will;
    MQTTClient_connectOptions c = MQTTClient_connectOptions_initializer;
};

}  // namespace movra
