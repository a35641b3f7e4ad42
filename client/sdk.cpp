// SDK state, initialisation and connection control.
#include "sdk.h"

#include <stdexcept>
#include <string>

#include "connect_turn.h"
#include "console.h"
#include "paho_quirks/settle.h"

namespace movra {

using Table = ConnectionState;

SDK::SDK() : dispatcher(std::make_shared<Dispatcher>()) {}

SDK::~SDK() {
    try {
        stop();
    } catch (...) {
        // A connection handler raised inside the stop sequence; nobody can take the error here.
        dispatcher->reportError(std::current_exception());
    }
    // A handler that raised in stop left the library client in place.
    destroyClient();
}

void SDK::init(const InitOptions& options) {
    checkTlsOptions(options.tls, options.protocol);
    checkWillOptions(options.will);
    BrokerList::check(options.failoverHosts);
    // The library's window holds at most 65,535 packet identifiers.
    if (options.maxInflight < 1 || options.maxInflight > 65535)
        throw std::invalid_argument("SDK::init — maxInflight must be between 1 and 65535");
    if (options.maxQueued < 1 || options.maxQueuedBytes < 1)
        throw std::invalid_argument("SDK::init — maxQueued and maxQueuedBytes must be positive");
    if (options.backoffUnit.count() < 1)
        throw std::invalid_argument("SDK::init — backoffUnit must be positive");
    // A client that already exists is torn down first, exactly as stop does, so that it can never
    // call back into this object once it is replaced.
    if (library.client()) stop();
    // Started before the connect lock is taken: starting joins dispatch threads that a handler's
    // stop left lingering, and such a handler may itself be waiting for the connect lock (in
    // connect). The queue takes events from here on; none arrive before the client exists.
    Dispatcher::start(dispatcher);

    MutexLock connectLock(connectMutex);
    library.options().assign(options);
    const int rc = library.create(
        this, {&SDK::onConnectionLost, &SDK::onMessageArrived, &SDK::onDeliveryComplete});
    if (rc != MQTTCLIENT_SUCCESS)
        throw std::runtime_error("SDK::init — MQTTClient_create failed: " + std::to_string(rc));
    reached = 0;
    resumeSubs = options.resumeSubs;
    subscriptions.clear();
    outbound.start(
        {.maxInflight = static_cast<std::size_t>(options.maxInflight),
         .maxQueued = static_cast<std::size_t>(options.maxQueued),
         .maxQueuedBytes = static_cast<std::size_t>(options.maxQueuedBytes)},
        [this] { return library.client(); }, [this] { return mirrors().connected(); }, dispatcher);
    MutexLock lock(reconnectMutex);
    backoff = Backoff({.ceiling = options.maxReconnectInterval,
                       .jitter = options.reconnectJitter,
                       .unit = options.backoffUnit});
    connection.init(options.autoReconnect);
}

bool SDK::connect() {
    Dispatcher::BlockingScope blocking(*dispatcher);
    int rc = MQTTCLIENT_SUCCESS;
    Table::Step step;
    std::string reachedUri;
    {
        ConnectTurn turn(*this, Table::Event::Connect);
        if (!turn.connects()) {
            writeLine(turn.requested().line);
            return turn.requested().next == Table::State::Connected;
        }
        std::uint64_t session = 0;
        // Fails closed: without a token the Enterprise password is not sent at all. The reconnect
        // worker only ever repeats the options of a connect that succeeded, so it never sends a
        // plain Enterprise password either.
        rc = library.options().renewCredentials();
        if (rc == MQTTCLIENT_SUCCESS) {
            // brokerHost, then each failover address once.
            for (std::size_t index = 0; index < library.options().brokers().size(); ++index) {
                session = currentSession();
                if ((rc = connectTo(index)) == MQTTCLIENT_SUCCESS) break;
                // A session lost in its renewal: the library's receive thread ends first.
                if (rc == Table::kLostBeforeRecorded)
                    std::this_thread::sleep_for(paho::kReconnectSettle);
            }
        }
        MutexLock state(reconnectMutex);
        step = finishConnect(turn, rc, session);
        if (rc == MQTTCLIENT_SUCCESS && step.next != Table::State::Connected)
            rc = Table::kLostBeforeRecorded;
        reachedUri = library.options().brokers().uri(reached);
    }
    if (step.next == Table::State::Connected) outbound.wakeSender();
    writeLine(step.line, {.text = reachedUri, .rc = rc});
    if (step.notice != Table::Notice::CallerUp) return false;
    dispatcher->notifyConnection(true, 0);
    return true;
}

void SDK::disconnect() {
    Dispatcher::BlockingScope blocking(*dispatcher);
    ClientHandle held = library.client();
    Table::Step step{Table::State::Uninitialised, Table::Notice::None, Table::Line::NotConnected};
    if (held) {
        // Offline before the library disconnects: publishes from other threads stop here instead of
        // keeping the library's in-flight list busy until its 10 s disconnect timeout.
        MutexLock lock(reconnectMutex);
        step = connection.apply(Table::Event::Disconnect);
    }
    // The arrival gate stays closed until the next session is up.
    if (step.action == Table::Action::LibraryDisconnect)
        library.disconnect(held, kDisconnectTimeoutMs);
    writeLine(step.line);
    if (step.notice == Table::Notice::CallerDown) dispatcher->notifyConnection(false, 0);
}

void SDK::stop() {
    Dispatcher::BlockingScope blocking(*dispatcher);
    std::thread worker;
    {
        // Notified under the lock: a worker between its look at the state and its wait cannot miss it.
        MutexLock lock(reconnectMutex);
        connection.apply(Table::Event::Stop);
        reconnectCondition.notify_all();
        worker = std::move(reconnectThread);
    }
    wakePublishers();
    // The worker never waits for a handler, so this join cannot wait on user code.
    if (worker.joinable()) worker.join();
    // Every message still held fails now; its outcome is queued before the dispatch thread ends.
    outbound.close();
    // Deliver what was queued before the stop, then end the dispatch thread.
    dispatcher->finish();
    disconnect();
    // The library has let go of the session: a publish under way has returned.
    outbound.join();
    destroyClient();
}

std::uint64_t SDK::currentSession() {
    MutexLock lock(reconnectMutex);
    return connection.session();
}

void SDK::wakePublishers() { outbound.wakeWaiters(); }

void SDK::destroyClient() {
    if (!library.client()) return;
    // Outside connectMutex: after this no library callback for the client runs, or will run.
    library.withdrawCallbacks();
    MutexLock connectLock(connectMutex);
    // Destroyed at the end of this scope, after the release is recorded, or by a call still inside
    // the library on another thread when it returns. A connect that was under way in another
    // thread while stop ran may have succeeded meanwhile; letting go of the client ends that
    // session too.
    ClientHandle last = library.release();
    MutexLock lock(reconnectMutex);
    connection.apply(Table::Event::Released);
}

void SDK::on_message(MessageHandler handler) { dispatcher->setMessageHandler(std::move(handler)); }

void SDK::on_connection(ConnectionHandler handler) {
    dispatcher->setConnectionHandler(std::move(handler));
}

}  // namespace movra
