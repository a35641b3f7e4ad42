// Garbage-collector support for the SDK type.
//
// A handler that refers to its own SDK (sdk.on_message(lambda t, p: sdk.publish(...))) makes a
// reference cycle through the instance's handler slots. The type takes part in the collector: it
// traverses and clears the stored callables, and its finalizer runs the stop sequence while the
// cycle is still intact, so the connection handler still gets its (false, 0) notification and the
// object's threads end before the cycle is broken.
//
// Threading contract: the collector calls these slots with the interpreter lock held, on whatever
// thread triggered the collection (also a library dispatch thread inside a handler). The finalizer
// releases the lock while the stop sequence waits.
#pragma once

#include <Python.h>

namespace movra::python {

// pybind11 custom type set-up for the SDK class.
void setupGc(PyHeapTypeObject* heapType);

}  // namespace movra::python
