// The last will of a client: a message the broker publishes for it when its connection ends without
// a DISCONNECT (a crash, a kill, a network loss), and discards on an orderly disconnect.
//
// WillOptions is what the caller configures. WillRecord turns it into Paho's MQTTClient_willOptions,
// hung on the client's connect options, so that every library connect (the caller's and the
// reconnect worker's) carries it. The payload goes in the record's binary form, by length: zero
// bytes inside it reach the broker as they are.
//
// Threading contract
// - configure() is called with the owner's connect lock held, like every library connect that reads
//   the record: the record is never rewritten under a connect.
// - The connect options point at record() from configure() on: the connect options record
//   (connect_options.h) owns this one, which owns every text the library record points at.
#pragma once

#include <MQTTClient.h>

#include <string>

namespace movra {

struct WillOptions {
    // False: no will is sent, and the other fields are ignored.
    bool enabled = false;
    std::string topic;
    // Sent byte for byte; may be empty and may hold zero bytes.
    std::string payload;
    int qos = 0;
    bool retained = false;
};

// Throws std::invalid_argument for a will the broker cannot take as meant: a qos outside 0-2, an
// empty topic, a topic with a wildcard (+ or #) or a zero byte (the library sends topics as C
// strings), a topic or payload longer than the 65,535 bytes of MQTT's 16-bit length fields.
void checkWillOptions(const WillOptions& options);

class WillRecord {
public:
    WillRecord() = default;
    WillRecord(const WillRecord&) = delete;
    WillRecord& operator=(const WillRecord&) = delete;

    // Builds the library record for an enabled will; none otherwise.
    void configure(const WillOptions& options);
    // What the connect options' will points at: the record for an enabled will, null otherwise.
    MQTTClient_willOptions* record() { return options.enabled ? &library : nullptr; }

private:
    WillOptions options;
    MQTTClient_willOptions library = MQTTClient_willOptions_initializer;
};

}  // namespace movra
