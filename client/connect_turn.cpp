// The connect sequence that the explicit connect and the reconnect worker share.
#include "connect_turn.h"

namespace movra {

using Table = ConnectionState;

SDK::ConnectTurn::ConnectTurn(SDK& sdk, Table::Event request_,
                              std::optional<std::uint64_t> expectedSession)
    : sdk(sdk), kind(request_), connectLock(sdk.connectMutex), stateLock(sdk.reconnectMutex) {
    request = sdk.connection.apply(kind);
    proceeds = request.action == Table::Action::LibraryConnect &&
               (!expectedSession || sdk.connection.session() == *expectedSession);
    if (proceeds) writeLine(request.line);
    stateLock.unlock();
}

int SDK::ConnectTurn::attempt(std::size_t index) { return sdk.connectTo(index); }

Table::Step SDK::ConnectTurn::finish(int rc, std::uint64_t session) {
    const bool ok = rc == MQTTCLIENT_SUCCESS;
    const Table::Event outcome = kind == Table::Event::Connect
                                     ? (ok ? Table::Event::ConnectOk : Table::Event::ConnectFailed)
                                     : (ok ? Table::Event::AttemptOk : Table::Event::AttemptFailed);
    stateLock.lock();
    const Table::Step step = sdk.connection.apply(outcome, session);
    if (step.action == Table::Action::WakeWorker) sdk.reconnectCondition.notify_all();
    return step;
}

}  // namespace movra
