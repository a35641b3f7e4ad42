#include "python_handlers.h"

#include <Python.h>

#include <atomic>

namespace movra::python {
namespace {

std::atomic<bool> exiting{false};

// The dispatch thread's Python thread state, made on its first batch and kept until the thread
// ends. Without it every batch would create and delete a thread state, and with it map and unmap
// the thread's frame stack: two system calls and fresh page faults per batch.
class KeptThreadState {
public:
    KeptThreadState() = default;
    KeptThreadState(const KeptThreadState&) = delete;
    KeptThreadState& operator=(const KeptThreadState&) = delete;

    // Takes the interpreter lock with this thread's state.
    void enter() {
        if (tstate == nullptr) {
            gilState = PyGILState_Ensure();
            tstate = PyThreadState_Get();
        } else {
            PyEval_RestoreThread(tstate);
        }
    }
    // Releases the interpreter lock, keeping the state.
    void leave() { PyEval_SaveThread(); }

    ~KeptThreadState() {
        // At thread exit. A finalising interpreter is not touched: the state is left to it.
        if (tstate == nullptr || pythonGone()) return;
        PyEval_RestoreThread(tstate);
        PyGILState_Release(gilState);
    }

private:
    PyThreadState* tstate = nullptr;
    PyGILState_STATE gilState{};
};

thread_local KeptThreadState dispatchThreadState;

py::str decodeStrict(const std::string& bytes) {
    PyObject* text =
        PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "strict");
    if (text == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(text);
}

py::bytes asBytes(const std::string& bytes) {
    PyObject* object =
        PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
    if (object == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::bytes>(object);
}

}  // namespace

bool pythonGone() { return exiting.load() || _Py_IsFinalizing(); }

void markExiting() { exiting.store(true); }

void MessageBridge::operator()(const std::string& topic, const std::string& payload) const {
    if (pythonGone()) return;
    py::gil_scoped_acquire gil;
    // A reference of its own: the handler may replace itself while it runs.
    py::object handler = callables->message;
    if (!handler) return;
    const bool binary = callables->messageBinary;
    // Messages mostly come in streams on one topic: the text of the last topic is used again.
    if (!callables->lastTopic || topic != callables->lastTopicBytes) {
        callables->lastTopic = decodeStrict(topic);
        callables->lastTopicBytes = topic;
    }
    py::object pyTopic = callables->lastTopic;
    py::object pyPayload =
        binary ? py::object(asBytes(payload)) : py::object(decodeStrict(payload));
    PyObject* args[] = {pyTopic.ptr(), pyPayload.ptr()};
    PyObject* result = PyObject_Vectorcall(handler.ptr(), args, 2, nullptr);
    if (result == nullptr) throw py::error_already_set();
    Py_DECREF(result);
}

void ConnectionBridge::operator()(bool connected, int code) const {
    if (pythonGone()) return;
    py::gil_scoped_acquire gil;
    py::object handler = callables->connection;
    if (!handler) return;
    handler(py::bool_(connected), py::int_(code));
}

void reportUnraisable(std::exception_ptr error) {
    if (pythonGone()) return;
    py::gil_scoped_acquire gil;
    try {
        std::rethrow_exception(std::move(error));
    } catch (py::error_already_set& e) {
        e.discard_as_unraisable("movra_sdk.SDK handler");
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
        PyErr_WriteUnraisable(nullptr);
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown native error in a movra_sdk handler");
        PyErr_WriteUnraisable(nullptr);
    }
}

void deliverWithGil(const std::function<void()>& deliver) {
    if (pythonGone()) return;
    // The handlers' own gil_scoped_acquire find this state current and only count up and down.
    struct Held {
        Held() { dispatchThreadState.enter(); }
        ~Held() { dispatchThreadState.leave(); }
        Held(const Held&) = delete;
        Held& operator=(const Held&) = delete;
    } held;
    deliver();
}

}  // namespace movra::python
