#include "publish_futures.h"

#include <string>

#include "python_handlers.h"

namespace movra::python {
namespace {

// concurrent.futures.Future, looked up once and kept for the life of the process.
PyObject* futureType() {
    static PyObject* type =
        py::object(py::module_::import("concurrent.futures").attr("Future")).release().ptr();
    return type;
}

// A method name, made once and interned: each call looks it up without making a string.
PyObject* methodName(const char* name) {
    PyObject* interned = PyUnicode_InternFromString(name);
    if (interned == nullptr) throw py::error_already_set();
    return interned;
}

py::object builtin(const char* name) { return py::module_::import("builtins").attr(name); }

std::string withCode(const char* text, int rc) {
    return std::string(text) + " (rc=" + std::to_string(rc) + ")";
}

// The exception a failed message's future carries.
py::object failure(int rc) {
    switch (rc) {
        case movra::kPublishStopped:
            return builtin("ConnectionAbortedError")(
                MQTTCLIENT_DISCONNECTED,
                "publish abandoned: the SDK was stopped (or not initialised) before the message "
                "was done");
        case movra::kPublishQueueFull:
            return py::module_::import("queue").attr("Full")(
                "publish refused: the outbound queue is full (maxQueued / maxQueuedBytes)");
        case movra::kPublishInvalidTopic:
            return builtin("ValueError")(
                withCode("publish refused: a topic name must be non-empty and hold no '+', '#' "
                         "or zero byte",
                         rc));
        case movra::kPublishTooLarge:
            return builtin("ValueError")(
                withCode("publish refused: the message exceeds MQTT's 256 MiB packet", rc));
        case MQTTCLIENT_BAD_QOS:
            return builtin("ValueError")(withCode("publish refused: qos must be 0, 1 or 2", rc));
        case MQTTCLIENT_BAD_UTF8_STRING:
            return builtin("ValueError")(
                withCode("publish refused: the topic is not valid UTF-8", rc));
        case MQTTCLIENT_BAD_STRUCTURE:
            return builtin("ValueError")(
                withCode("publish refused: the topic is longer than 65,535 bytes", rc));
        default:
            return builtin("ConnectionError")(rc, withCode("publish failed", rc));
    }
}

void settle(const py::object& future, int rc) {
    static PyObject* const setResult = methodName("set_result");
    static PyObject* const setException = methodName("set_exception");
    try {
        py::object value = rc == 0 ? py::none() : failure(rc);
        const auto done = py::reinterpret_steal<py::object>(PyObject_CallMethodOneArg(
            future.ptr(), rc == 0 ? setResult : setException, value.ptr()));
        if (!done) throw py::error_already_set();
    } catch (py::error_already_set& e) {
        e.discard_as_unraisable("movra_sdk.SDK.publish future");
    }
}

}  // namespace

py::object publishWithoutWaiting(movra::SDK& sdk, const ByteView& topic, const ByteView& payload,
                                 int qos, bool retained) {
    static PyObject* const setRunning = methodName("set_running_or_notify_cancel");
    py::object future = py::reinterpret_steal<py::object>(PyObject_CallNoArgs(futureType()));
    if (!future) throw py::error_already_set();
    // Running from the start: a queued message cannot be taken back, so cancel() returns False.
    if (!py::reinterpret_steal<py::object>(PyObject_CallMethodNoArgs(future.ptr(), setRunning)))
        throw py::error_already_set();
    // The pipeline's reference, handed back through resolveFutures.
    PyObject* tag = future.inc_ref().ptr();
    const int rc = sdk.publishAsync(topic.bytes(), payload.bytes(), qos, retained, tag);
    if (rc != 0) {
        future.dec_ref();
        settle(future, rc);
    }
    return future;
}

void resolveFutures(std::span<const movra::PublishOutcome> outcomes) {
    // Once Python is going away the references are left alone.
    if (pythonGone()) return;
    py::gil_scoped_acquire gil;
    for (const movra::PublishOutcome& outcome : outcomes) {
        auto future = py::reinterpret_steal<py::object>(static_cast<PyObject*>(outcome.tag));
        settle(future, outcome.rc);
    }
}

}  // namespace movra::python
