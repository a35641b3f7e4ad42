// SDK: a small MQTT client over Paho MQTT C's synchronous client.
//
// An SDK is configured once with init(), connects to a broker, subscribes, publishes, hands inbound
// messages and connection changes to two handlers, and reconnects by itself with a doubling back-off
// when a live connection drops. In the "Enterprise" edition every explicit connect sends the password
// as a JWE token encrypted to a compiled-in RSA key.
//
// Failover: init may name more addresses of the same service (broker_list.h). An explicit connect
// tries brokerHost, then each other address once, and reports the first that answers; the reconnect
// worker starts at the address after the one whose session was lost, moves to the next one at once
// after a failed attempt, and waits its back-off once per round of the list (drawn between zero and
// its value with reconnectJitter). A connect that finds no session at the broker (the CONNACK's
// session-present flag is 0) subscribes again to the book's subscriptions (subscription_book.h)
// before it reports the connection, when resumeSubs is on.
//
// The connection's states, and what each event does in each of them, are tabled in
// connection_state.h; the loss callback, the reconnect worker and connect / disconnect / stop apply
// its events under reconnectMutex.
//
// The library's side (library_session.h) holds the Paho client, the connect options that own every
// text the library reads (connect_options.h, the Enterprise password wrap included), the callback
// key and the arrival gate. The explicit connect and the reconnect worker make their library
// connects through one sequence, ConnectTurn (connect_turn.h): the request applied, the library
// connect (with the renewal of subscriptions), the outcome applied.
//
// Threading contract
// - Caller threads may call every public method, also from inside a handler of the same object.
//   connect, disconnect, stop, subscribe, unsubscribe and publish may block (library round trips,
//   the 10 s disconnect and publish-completion waits, joins); the Python binding calls them with the
//   interpreter lock released. is_connected never blocks.
// - Handlers never run on the library's threads. The library's callbacks only copy what they need
//   into the dispatcher's queue (messages, loss) or record a completion, and return at once; they
//   make no library call and take no lock that user code can hold. The dispatch thread calls the
//   handlers, one at a time per object, under the handler lock (handler_slots.h), in arrival
//   order: inbound messages, the loss notification (false, -1) and the reconnect notification
//   (true, 0).
// - The notifications of connect (true, 0), and of disconnect and stop (false, 0) run in the caller's
//   thread under the handler lock; an exception from the handler reaches the caller.
// - The reconnect worker never calls a handler and never waits for one, so joining it is always safe.
//   connectMutex is the library session's connect lock: it serialises every library connect
//   (caller's and worker's) with the password wrapping, init's rewriting of the connect options and
//   the release of the client; the renewal of subscriptions runs under it too, right after its
//   connect.
// - A subscribe or unsubscribe waiting for the broker's answer returns as soon as the loss of the
//   connection is known (paho_quirks/wait_abort.h).
// - Every publish goes through the outbound pipeline (outbound.h), whose sender thread alone calls
//   the library's publish; its outcomes reach the binding on the dispatch thread (publishAsync).
// - Locks, outermost first: connectMutex / publishMutex, the handler lock, the pipeline's
//   sendMutex, then the library session's short clientMutex, reconnectMutex, the pipeline's lock and
//   the dispatcher's locks. No internal lock is held while a handler runs, except the handler lock
//   itself.
// - No lock of this object is held while a dispatch thread is joined (init's start of the
//   dispatcher, stop's finish): a handler on that thread may be waiting for any of them.
// - The object is neither copyable nor movable: the library and the worker hold its address.
#pragma once

#include <MQTTClient.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "backoff.h"
#include "client_handle.h"
#include "connect_options.h"
#include "connection_state.h"
#include "dispatcher.h"
#include "init_options.h"
#include "library_session.h"
#include "mutex.h"
#include "outbound.h"
#include "subscription_book.h"

namespace movra {

class SDK {
public:
    // Library code given with the publish failure line when a payload does not fit the 32-bit
    // length of the message record (2^31 bytes or more): the record cannot be built.
    static constexpr int kPayloadTooLarge = MQTTCLIENT_BAD_STRUCTURE;
    // MQTT strings (topics, the client identifier, the user name and the password) carry a 16-bit
    // length. A longer one cannot be sent as it is: the library would send its length modulo 65,536,
    // a different string. It is refused with this code before anything is sent.
    static constexpr std::size_t kMaxStringLength = ConnectOptions::kMaxStringLength;
    static constexpr int kStringTooLong = ConnectOptions::kStringTooLong;
    // Enterprise connect when the password could not be wrapped and no token has been made since
    // init: the plain password is never sent in its place, and nothing reaches the broker. A code
    // outside the library's own range.
    static constexpr int kPasswordNotWrapped = ConnectOptions::kPasswordNotWrapped;
    static constexpr int kDisconnectTimeoutMs = 10000;
    static constexpr int kPublishTimeoutMs = 10000;

    SDK();
    ~SDK();
    SDK(const SDK&) = delete;
    SDK& operator=(const SDK&) = delete;
    SDK(SDK&&) = delete;
    SDK& operator=(SDK&&) = delete;

    // Throws std::runtime_error "SDK::init — MQTTClient_create failed: <rc>" when the library
    // refuses to create the client, and std::invalid_argument, before anything changes, for TLS
    // settings that cannot take effect (checkTlsOptions) and for a will the broker cannot take
    // (checkWillOptions).
    void init(const InitOptions& options);

    bool connect();
    void disconnect();
    void stop();
    bool is_connected() const { return mirrors().connected(); }
    // True between a successful init and the stop sequence.
    bool is_initialised() const { return mirrors().initialised(); }

    void on_message(MessageHandler handler);
    void on_connection(ConnectionHandler handler);

    bool subscribe(std::string_view topic, int qos);
    void unsubscribe(std::string_view topic);
    // Waits for the message up to kPublishTimeoutMs; refused while offline.
    void publish(std::string_view topic, std::string_view payload, int qos, bool retained);
    // Queues the message without waiting, also while offline, between init and stop. Returns 0
    // when queued: its outcome goes to the outcome sink with tag. Otherwise the code of the
    // immediate failure (publish_outcome.h, or the library's), and tag stays with the caller.
    int publishAsync(std::string_view topic, std::string_view payload, int qos, bool retained,
                     void* tag);

    // Hooks for a language binding; set before init.
    void setErrorSink(ErrorSink sink) { dispatcher->setErrorSink(std::move(sink)); }
    void setDeliveryScope(DeliveryScope scope) { dispatcher->setDeliveryScope(std::move(scope)); }
    void setOutcomeSink(OutcomeSink sink) { dispatcher->setOutcomeSink(std::move(sink)); }

private:
    // Library callbacks; the context is this object's key in the callback registry.
    static void onConnectionLost(void* context, char* cause);
    static int onMessageArrived(void* context, char* topicName, int topicLen,
                                MQTTClient_message* message);
    static void onDeliveryComplete(void* context, MQTTClient_deliveryToken token);

    void connectionLost(const char* cause);
    void deliveryComplete(MQTTClient_deliveryToken token);
    void reconnectLoop();
    // The session number a library connect hands to the "ok" events (connection_state.h).
    std::uint64_t currentSession() EXCLUDES(reconnectMutex);
    // The lock-free mirrors of the connection's state, which any thread may read without
    // reconnectMutex (connection_state.h): the one read of `connection` outside its lock.
    const ConnectionState::Mirrors& mirrors() const NO_THREAD_SAFETY_ANALYSIS {
        return connection.mirrors();
    }
    // A test that turns true once a loss interrupted the connection after the test was made, or
    // while the stop sequence runs (a call that began after its start would otherwise wait for an
    // answer that the stop's disconnect never lets come): a wait for the broker's answer ends on it.
    auto lostSinceNow() const {
        return [this, before = mirrors().interruptions()] {
            return mirrors().interruptions() != before || !mirrors().initialised();
        };
    }
    // Ends the waits for a publish's completion after the interruptions moved.
    void wakePublishers();
    void destroyClient();
    // The library connect sequence that connect and the reconnect worker share (connect_turn.h).
    class ConnectTurn;
    // Applies the "ok" or "fails" event of the turn's library connect, whose code is rc, with the
    // session number read before it; wakes a worker the table asks to wake.
    ConnectionState::Step finishConnect(const ConnectTurn& turn, int rc, std::uint64_t session)
        REQUIRES(reconnectMutex);
    // One library connect to the address `index` of the broker list, then the renewal of the
    // subscriptions when the broker kept no session. With connectMutex held. A session lost during
    // its renewal (a broker that closes the connection on the subscribe) fails the connect with
    // ConnectionState::kLostBeforeRecorded: it counts as a failed attempt, back-off included.
    int connectTo(std::size_t index) REQUIRES(connectMutex);
    // False when a loss (or a stop) ended the renewal.
    bool renewSubscriptions() REQUIRES(connectMutex);

    // Serialises library connects with the rewriting of the connect options and the release of
    // the client. The calls that run outside it (subscribe, unsubscribe, publish, disconnect) each
    // take their own reference to the client (library.client()) and call the library with that,
    // so a stop on another thread never destroys a client under a running call, and never waits
    // for one.
    Mutex connectMutex ACQUIRED_BEFORE(reconnectMutex);
    // The connection's state and the reconnect worker.
    Mutex reconnectMutex;

    // The library client, its connect options, callback key and arrival gate. The client and the
    // options are rewritten (init) and the client let go of (destroyClient) with connectMutex held.
    LibrarySession library;
    // The address of the last connect that succeeded.
    std::size_t reached GUARDED_BY(connectMutex) = 0;
    bool resumeSubs = true;
    SubscriptionBook subscriptions;
    // The handler slots and the handler lock live in the dispatcher, which the dispatch thread
    // shares: a handler may destroy its own object and the thread must still be able to return
    // safely.
    std::shared_ptr<Dispatcher> dispatcher;
    // The reconnect worker's back-off.
    Backoff backoff GUARDED_BY(reconnectMutex);
    std::thread reconnectThread GUARDED_BY(reconnectMutex);
    std::condition_variable reconnectCondition;
    // With lock-free mirrors for is_connected and is_initialised (mirrors()).
    ConnectionState connection GUARDED_BY(reconnectMutex);
    // The shared prologue of subscribe, unsubscribe and publish (messaging.cpp).
    class Call;

    // Waiting publishes are serialised: the pipeline serves one waiting caller at a time.
    Mutex publishMutex;
    // Last: its sender thread, which reads the client and the connection, ends before they go.
    Outbound outbound;
};

}  // namespace movra
