// The connect sequence that the explicit connect and the reconnect worker share.
#include "connect_turn.h"

namespace movra {

using Table = ConnectionState;

SDK::ConnectTurn::ConnectTurn(SDK& sdk, Table::Event request_,
                              std::optional<std::uint64_t> expectedSession)
    : sdk(sdk), kind(request_) {
    sdk.connectMutex.lock();
    MutexLock state(sdk.reconnectMutex);
    request = sdk.connection.apply(kind);
    proceeds = request.action == Table::Action::LibraryConnect &&
               (!expectedSession || sdk.connection.session() == *expectedSession);
    if (proceeds) writeLine(request.line);
}

SDK::ConnectTurn::~ConnectTurn() { sdk.connectMutex.unlock(); }

Table::Event SDK::ConnectTurn::outcome(int rc) const {
    const bool ok = rc == MQTTCLIENT_SUCCESS;
    return kind == Table::Event::Connect
               ? (ok ? Table::Event::ConnectOk : Table::Event::ConnectFailed)
               : (ok ? Table::Event::AttemptOk : Table::Event::AttemptFailed);
}

Table::Step SDK::finishConnect(const ConnectTurn& turn, int rc, std::uint64_t session) {
    const Table::Step step = connection.apply(turn.outcome(rc), session);
    if (step.action == Table::Action::WakeWorker) reconnectCondition.notify_all();
    return step;
}

}  // namespace movra
