// SDK state, initialisation and connection control.
#include "sdk.h"

#include <cstring>
#include <stdexcept>
#include <string>

#include "console.h"
#include "paho_quirks/settle.h"

namespace movra {

using Link = ConnectionState;

SDK::SDK() : channel(std::make_shared<Dispatcher>()) {}

SDK::~SDK() {
    try {
        stop();
    } catch (...) {
        // A connection handler raised inside the stop sequence; nobody can take the error here.
        channel->reportError(std::current_exception());
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
    if (currentClient()) stop();
    // Started before the connect lock is taken: starting joins dispatch threads that a handler's
    // stop left lingering, and such a handler may itself be waiting for the connect lock (in
    // connect). The queue takes events from here on; none arrive before the client exists.
    Dispatcher::start(channel);

    std::lock_guard connectLock(connectMutex);
    clientId = options.clientId;
    username = options.username;
    password = options.password;
    edition = options.edition;
    // The copies above may have moved the texts: the options never keep pointing at released text,
    // whether or not the rest of init succeeds.
    connectOptions.username = username.c_str();
    connectOptions.password = password.c_str();
    passwordWrapped = false;
    serverUri = options.protocol + "://" + options.brokerHost;

    MQTTClient raw = nullptr;
    int rc = MQTTClient_create(&raw, serverUri.c_str(), clientId.c_str(),
                               MQTTCLIENT_PERSISTENCE_NONE, nullptr);
    if (rc != MQTTCLIENT_SUCCESS) {
        if (raw != nullptr) ClientDeleter{}(raw);
        throw std::runtime_error("SDK::init — MQTTClient_create failed: " + std::to_string(rc));
    }
    {
        std::lock_guard use(clientMutex);
        client = ClientHandle(raw, ClientDeleter{});
    }
    callbackKey = CallbackRegistry::add(this);
    arrivalGate.open();
    MQTTClient_setCallbacks(raw, reinterpret_cast<void*>(callbackKey), &SDK::onConnectionLost,
                            &SDK::onMessageArrived, &SDK::onDeliveryComplete);

    connectOptions.keepAliveInterval = options.keepAlive;
    connectOptions.cleansession = options.cleanSession ? 1 : 0;
    connectOptions.retryInterval = options.writeTimeout;
    brokers.assign(options.protocol, options.brokerHost, options.failoverHosts,
                   options.connectTimeout, connectOptions);
    reached = 0;
    resumeSubs = options.resumeSubs;
    subscriptions.clear();
    tls.configure(options.tls, serverUri, options.protocol, connectOptions);
    will.configure(options.will, connectOptions);
    // The same window as the pipeline's, which never lets the library's fill.
    connectOptions.maxInflightMessages = options.maxInflight;
    outbound.start(
        {.maxInflight = static_cast<std::size_t>(options.maxInflight),
         .maxQueued = static_cast<std::size_t>(options.maxQueued),
         .maxQueuedBytes = static_cast<std::size_t>(options.maxQueuedBytes)},
        [this] { return currentClient(); }, [this] { return link.connected(); }, channel);
    std::lock_guard lock(reconnectMutex);
    backoff = Backoff({.ceiling = options.maxReconnectInterval,
                       .jitter = options.reconnectJitter,
                       .unit = options.backoffUnit});
    link.init(options.autoReconnect);
}

bool SDK::connect() {
    Dispatcher::BlockingScope blocking(*channel);
    int rc = MQTTCLIENT_SUCCESS;
    Link::Step step;
    std::string reachedUri;
    {
        std::lock_guard connectLock(connectMutex);
        {
            std::lock_guard lock(reconnectMutex);
            step = link.apply(Link::Event::Connect);
        }
        if (step.action != Link::Action::LibraryConnect) {
            writeLine(step.line);
            return step.next == Link::State::Connected;
        }
        std::uint64_t session = 0;
        // Fails closed: without a token the Enterprise password is not sent at all. The reconnect
        // worker only ever repeats the options of a connect that succeeded, so it never sends a
        // plain Enterprise password either.
        if (edition == "Enterprise" && !encryptPassword()) {
            rc = kPasswordNotWrapped;
        } else if (!credentialsFit()) {
            rc = kStringTooLong;
        } else {
            arrivalGate.open();
            // brokerHost, then each failover address once.
            for (std::size_t index = 0; index < brokers.size(); ++index) {
                session = currentSession();
                if ((rc = connectTo(index)) == MQTTCLIENT_SUCCESS) break;
                // A session lost in its renewal: the library's receive thread ends first.
                if (rc == Link::kLostBeforeRecorded)
                    std::this_thread::sleep_for(paho::kReconnectSettle);
            }
        }
        std::lock_guard lock(reconnectMutex);
        step = link.apply(
            rc == MQTTCLIENT_SUCCESS ? Link::Event::ConnectOk : Link::Event::ConnectFailed,
            session);
        if (rc == MQTTCLIENT_SUCCESS && step.next != Link::State::Connected)
            rc = Link::kLostBeforeRecorded;
        if (step.action == Link::Action::WakeWorker) reconnectCondition.notify_all();
        reachedUri = brokers.uri(reached);
    }
    if (step.next == Link::State::Connected) outbound.wakeSender();
    writeLine(step.line, {.text = reachedUri, .rc = rc});
    if (step.notice != Link::Notice::CallerUp) return false;
    channel->notifyConnection(true, 0);
    return true;
}

void SDK::disconnect() {
    Dispatcher::BlockingScope blocking(*channel);
    ClientHandle held = currentClient();
    Link::Step step{Link::State::Uninitialised, Link::Notice::None, Link::Line::NotConnected};
    if (held) {
        // Offline before the library disconnects: publishes from other threads stop here instead of
        // keeping the library's in-flight list busy until its 10 s disconnect timeout.
        std::lock_guard lock(reconnectMutex);
        step = link.apply(Link::Event::Disconnect);
    }
    if (step.action == Link::Action::LibraryDisconnect) {
        // Closed until the next session is up: a callback the library began before this disconnect
        // and that finds the gate only afterwards may hold a message the disconnect has released.
        arrivalGate.close();
        disconnectClient(held.get(), kDisconnectTimeoutMs);
        arrivalGate.released();
    }
    writeLine(step.line);
    if (step.notice == Link::Notice::CallerDown) channel->notifyConnection(false, 0);
}

void SDK::stop() {
    Dispatcher::BlockingScope blocking(*channel);
    std::thread worker;
    {
        // Notified under the lock: a worker between its look at the state and its wait cannot miss it.
        std::lock_guard lock(reconnectMutex);
        link.apply(Link::Event::Stop);
        reconnectCondition.notify_all();
        worker = std::move(reconnectThread);
    }
    wakePublishers();
    // The worker never waits for a handler, so this join cannot wait on user code.
    if (worker.joinable()) worker.join();
    // Every message still held fails now; its outcome is queued before the dispatch thread ends.
    outbound.close();
    // Deliver what was queued before the stop, then end the dispatch thread.
    channel->finish();
    disconnect();
    // The library has let go of the session: a publish under way has returned.
    outbound.join();
    destroyClient();
}

std::uint64_t SDK::currentSession() {
    std::lock_guard lock(reconnectMutex);
    return link.session();
}

void SDK::wakePublishers() { outbound.wakeWaiters(); }

bool SDK::credentialsFit() const {
    // The library takes all three as C strings and sends them up to their first zero byte.
    auto fits = [](const char* text) { return std::strlen(text) <= kMaxStringLength; };
    return fits(clientId.c_str()) && fits(connectOptions.username) && fits(connectOptions.password);
}

ClientHandle SDK::currentClient() {
    std::lock_guard use(clientMutex);
    return client;
}

void SDK::destroyClient() {
    if (!currentClient()) return;
    // After this no library callback for the client runs, or will run.
    CallbackRegistry::withdraw(callbackKey);
    std::lock_guard connectLock(connectMutex);
    ClientHandle last;
    {
        std::lock_guard use(clientMutex);
        last.swap(client);
    }
    // Destroyed here, or by a call still inside the library on another thread when it returns.
    // A connect that was under way in another thread while stop ran may have succeeded meanwhile;
    // letting go of the client ends that session too.
    std::lock_guard lock(reconnectMutex);
    link.apply(Link::Event::Released);
}

void SDK::on_message(MessageHandler handler) { channel->setMessageHandler(std::move(handler)); }

void SDK::on_connection(ConnectionHandler handler) {
    channel->setConnectionHandler(std::move(handler));
}

}  // namespace movra
