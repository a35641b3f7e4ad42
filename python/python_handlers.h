// The bridge between Python callables and the client's handlers.
//
// Threading contract
// - PythonCallables holds the Python handlers of one SDK object and the form of the message
//   callable. Its fields are read and written only with the interpreter lock held; so a callable is
//   copied and released only under that lock, and a callable and its form are set, and read by a
//   bridge call, as one.
// - The native handlers (MessageBridge, ConnectionBridge) hold no Python reference: they share the
//   PythonCallables record and look the callable up, under the interpreter lock, at each call.
//   Copying or destroying them needs no lock, so the client may do either while it holds the
//   handler lock.
// - A bridge call takes the interpreter lock after the handler lock, never the other way round: every
//   binding method releases the interpreter lock before it enters the client.
// - Once the interpreter is finalising no bridge call touches Python.
#pragma once

#include <pybind11/pybind11.h>

#include <exception>
#include <functional>
#include <memory>
#include <string>

namespace movra::python {

namespace py = pybind11;

struct PythonCallables {
    py::object message;
    // The message callable takes the payload as bytes (as received) rather than as decoded text.
    bool messageBinary = false;
    py::object connection;
    // The topic of the last message and its text, handed again to the next message on that topic.
    std::string lastTopicBytes;
    py::object lastTopic;
};

// True once the interpreter has begun to finalise (or this module has stopped its objects at exit).
bool pythonGone();
void markExiting();

struct MessageBridge {
    std::shared_ptr<PythonCallables> callables;
    void operator()(const std::string& topic, const std::string& payload) const;
};

struct ConnectionBridge {
    std::shared_ptr<PythonCallables> callables;
    void operator()(bool connected, int code) const;
};

// Reports an error raised off the caller's thread through sys.unraisablehook.
void reportUnraisable(std::exception_ptr error);

// Runs one batch of handler calls under a single acquisition of the interpreter lock.
void deliverWithGil(const std::function<void()>& deliver);

}  // namespace movra::python
