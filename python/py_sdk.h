// PySDK: what one Python SDK instance owns, the native client and the Python callables of its
// handlers.
//
// Threading contract
// - Every member is called with the interpreter lock held. Those that wait (the setters for
//   the handler lock, stopIfInitialised and the destructor for the stop sequence and its joins)
//   release the lock around the wait; sdk() is used by the binding with the lock released.
// - The Python callables live in a PythonCallables record and are read and written only with the
//   interpreter lock held (see python_handlers.h). traverse and clear expose them to the garbage
//   collector.
// - Every live instance is listed for the exit hook, which stops them all before the interpreter
//   finalises (stopAllAtExit). The list is touched only with the interpreter lock held.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/typing.h>

#include <memory>
#include <optional>

#include "python_handlers.h"
#include "sdk.h"

namespace movra::python {

// Called with the topic and the payload: the payload as str, or as bytes in the binary form.
using MessageCallable = py::typing::Callable<void(py::str, py::typing::Union<py::str, py::bytes>)>;
using ConnectionCallable = py::typing::Callable<void(py::bool_, py::int_)>;

class PySDK {
public:
    PySDK();
    ~PySDK();
    PySDK(const PySDK&) = delete;
    PySDK& operator=(const PySDK&) = delete;

    movra::SDK& sdk() { return *native; }

    // `binary` chooses the payload's form for this handler: bytes as received, or str decoded as
    // UTF-8. Callable and form change together, as one.
    void setMessage(std::optional<MessageCallable> handler, bool binary);
    void setConnection(std::optional<ConnectionCallable> handler);

    // Runs the stop sequence when the object is initialised; an uninitialised object has no
    // thread to end and writes nothing. An exception from the connection handler propagates.
    // Returns whether the sequence ran to its end.
    bool stopIfInitialised();

    // The exit hook stopped this object: its deallocation, later in finalisation, does not run
    // the stop sequence a second time.
    void markStoppedAtExit() { stoppedAtExit = true; }

    int traverse(visitproc visit, void* arg) const;
    void clear();

private:
    std::shared_ptr<PythonCallables> callables;
    std::unique_ptr<movra::SDK> native;
    bool stoppedAtExit = false;
};

// The exit hook: stops every live instance, then tells the bridges that Python is going away.
void stopAllAtExit();

}  // namespace movra::python
