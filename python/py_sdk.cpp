#include "py_sdk.h"

#include <unordered_set>
#include <vector>

#include "gil_release.h"
#include "publish_futures.h"

namespace movra::python {
namespace {

// Live instances, for the exit hook. Touched only with the interpreter lock held.
std::unordered_set<PySDK*>& liveObjects() {
    static auto* objects = new std::unordered_set<PySDK*>;
    return *objects;
}

}  // namespace

PySDK::PySDK()
    : callables(std::make_shared<PythonCallables>()), native(std::make_unique<movra::SDK>()) {
    native->setErrorSink(&reportUnraisable);
    native->setDeliveryScope(&deliverWithGil);
    native->setOutcomeSink(&resolveFutures);
    liveObjects().insert(this);
}

PySDK::~PySDK() {
    liveObjects().erase(this);
    if (stoppedAtExit && !native->is_initialised()) {
        // The exit hook ran the stop sequence that this deallocation would run, with its console
        // line and notification; a second run would only add a "Not connected" line. The object
        // holds no thread and no library client any more and the process is ending, so it is
        // left to the end of the process instead of being destroyed.
        static_cast<void>(native.release());
        clear();
        return;
    }
    {
        GilRelease release;
        // Runs the stop sequence; a connection handler that raises there is reported through
        // sys.unraisablehook by the error sink.
        native.reset();
    }
    clear();
}

namespace {

// Stores the callable in its slot (None empties it) and returns the native handler to install. The
// native handler is always the bridge: the slot alone decides whether a Python callable runs, so
// two threads setting handlers at once can never leave the slot and the native handler disagreeing.
template <typename Bridge, typename Callable>
Bridge bridgeFor(const std::shared_ptr<PythonCallables>& callables,
                 py::object PythonCallables::* slot, std::optional<Callable> callable) {
    (*callables).*slot = callable ? py::object(std::move(*callable)) : py::object();
    return Bridge{callables};
}

}  // namespace

void PySDK::setMessage(std::optional<MessageCallable> handler, bool binary) {
    auto bridge =
        bridgeFor<MessageBridge>(callables, &PythonCallables::message, std::move(handler));
    // Under the same hold of the interpreter lock as the callable: a message in flight sees the
    // old callable with the old form or the new one with the new form, never a mix.
    callables->messageBinary = binary;
    // Waits for a handler call in progress: the handler lock may be held by the dispatch thread, which
    // needs the interpreter lock to finish. Once this returns the previous callable is not called.
    GilRelease release;
    native->on_message(std::move(bridge));
}

void PySDK::setConnection(std::optional<ConnectionCallable> handler) {
    auto bridge =
        bridgeFor<ConnectionBridge>(callables, &PythonCallables::connection, std::move(handler));
    GilRelease release;
    native->on_connection(std::move(bridge));
}

bool PySDK::stopIfInitialised() {
    if (!native->is_initialised()) return false;
    GilRelease release;
    native->stop();
    return true;
}

int PySDK::traverse(visitproc visit, void* arg) const {
    Py_VISIT(callables->message.ptr());
    Py_VISIT(callables->connection.ptr());
    return 0;
}

void PySDK::clear() {
    callables->message = py::object();
    callables->connection = py::object();
    callables->lastTopic = py::object();
}

void stopAllAtExit() {
    // A copy: a stop runs handlers, which may create or drop instances.
    std::vector<PySDK*> objects(liveObjects().begin(), liveObjects().end());
    for (PySDK* object : objects) {
        if (liveObjects().count(object) == 0) continue;
        // A reference keeps the instance alive while its stop runs with the lock released: another
        // thread may drop the last one meanwhile.
        py::object keep = py::cast(object, py::return_value_policy::reference);
        try {
            if (object->stopIfInitialised()) object->markStoppedAtExit();
        } catch (py::error_already_set& e) {
            e.discard_as_unraisable("movra_sdk.SDK.stop at exit");
        }
    }
    markExiting();
}

}  // namespace movra::python
