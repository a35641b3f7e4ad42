// SDK state, initialisation and connection control.
#include "sdk.h"

#include <cstring>
#include <stdexcept>
#include <string>

#include "console.h"

namespace movra {

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

void SDK::init(const std::string& clientId_, const std::string& brokerHost,
               const std::string& protocol, const std::string& username_,
               const std::string& password_, bool cleanSession, bool /*resumeSubs*/,
               bool /*connectRetry*/, bool autoReconnect_, int /*connectRetryInterval*/,
               int maxReconnectInterval_, int keepAlive, int /*pingTimeout*/, int writeTimeout,
               bool /*orderMatters*/, int connectTimeout, const std::string& edition_,
               const TlsOptions& tlsOptions) {
    checkTlsOptions(tlsOptions, protocol);
    // A client that already exists is torn down first, exactly as stop does, so that it can never
    // call back into this object once it is replaced.
    if (currentClient()) stop();

    std::lock_guard connectLock(connectMutex);
    clientId = clientId_;
    username = username_;
    password = password_;
    edition = edition_;
    // The copies above may have moved the texts: the options never keep pointing at released text,
    // whether or not the rest of init succeeds.
    connectOptions.username = username.c_str();
    connectOptions.password = password.c_str();
    passwordWrapped = false;
    serverUri = protocol + "://" + brokerHost;

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

    connectOptions.keepAliveInterval = keepAlive;
    connectOptions.cleansession = cleanSession ? 1 : 0;
    connectOptions.connectTimeout = connectTimeout;
    connectOptions.retryInterval = writeTimeout;
    tls.configure(tlsOptions, serverUri, protocol, connectOptions);
    autoReconnect = autoReconnect_;
    {
        std::lock_guard lock(reconnectMutex);
        maxReconnectInterval = maxReconnectInterval_;
    }
    Dispatcher::start(channel);
    running = true;
}

bool SDK::connect() {
    Dispatcher::BlockingScope blocking(*channel);
    int rc;
    {
        std::lock_guard connectLock(connectMutex);
        if (!client) {
            console::err("connect — call init() first");
            return false;
        }
        if (connected) {
            console::out("Already connected");
            return true;
        }
        // Fails closed: without a token the Enterprise password is not sent at all. The reconnect
        // worker only ever repeats the options of a connect that succeeded, so it never sends a
        // plain Enterprise password either.
        if (edition == "Enterprise" && !encryptPassword()) {
            rc = kPasswordNotWrapped;
        } else if (!credentialsFit()) {
            rc = kStringTooLong;
        } else {
            arrivalGate.open();
            const std::uint64_t lossesBefore = lossCount();
            rc = tls.connect(client.get(), connectOptions);
            if (rc == MQTTCLIENT_SUCCESS) {
                std::lock_guard lock(reconnectMutex);
                // A session that dropped before it could be recorded is reported as a failed connect.
                if (!markConnected(lossesBefore)) rc = MQTTCLIENT_DISCONNECTED;
            }
        }
    }
    if (rc != MQTTCLIENT_SUCCESS) {
        console::err("connect failed, rc=" + std::to_string(rc));
        return false;
    }
    console::out("Connected to " + serverUri);
    channel->notifyConnection(true, 0);
    return true;
}

void SDK::disconnect() {
    Dispatcher::BlockingScope blocking(*channel);
    ClientHandle held = currentClient();
    // Offline before the library disconnects: publishes from other threads stop here instead of
    // keeping the library's in-flight list busy until its 10 s disconnect timeout.
    if (!held || !connected.exchange(false)) {
        console::out("Not connected");
        return;
    }
    // Closed until the next session is up: a callback the library began before this disconnect and
    // that finds the gate only afterwards may hold a message the disconnect has released.
    arrivalGate.close();
    disconnectClient(held.get(), kDisconnectTimeoutMs);
    arrivalGate.released();
    console::out("Disconnected");
    channel->notifyConnection(false, 0);
}

void SDK::stop() {
    Dispatcher::BlockingScope blocking(*channel);
    running = false;
    std::thread worker;
    {
        // Notified under the lock: a worker between its check of running and its wait cannot miss it.
        std::lock_guard lock(reconnectMutex);
        reconnectCondition.notify_all();
        worker = std::move(reconnectThread);
    }
    {
        std::lock_guard lock(completionMutex);
        ++interruptions;
    }
    completionCondition.notify_all();
    // The worker never waits for a handler, so this join cannot wait on user code.
    if (worker.joinable()) worker.join();
    // Deliver what was queued before the stop, then end the dispatch thread.
    channel->finish();
    disconnect();
    destroyClient();
}

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
    connected = false;
}

void SDK::on_message(MessageHandler handler) { channel->setMessageHandler(std::move(handler)); }

void SDK::on_connection(ConnectionHandler handler) {
    channel->setConnectionHandler(std::move(handler));
}

}  // namespace movra
