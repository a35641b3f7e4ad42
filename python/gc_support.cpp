#include "gc_support.h"

#include <exception>

#include "py_sdk.h"

namespace movra::python {
namespace {

PySDK* instance(PyObject* self) {
    if (!py::detail::is_holder_constructed(self)) return nullptr;
    return &py::cast<PySDK&>(py::handle(self));
}

int traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    PySDK* object = instance(self);
    return object != nullptr ? object->traverse(visit, arg) : 0;
}

int clear(PyObject* self) {
    if (PySDK* object = instance(self)) object->clear();
    return 0;
}

// Runs when the collector finds the instance in unreachable garbage, before any tp_clear. An error
// cannot propagate from here; it is reported as unraisable, with the instance as context.
void finalize(PyObject* self) {
    PyObject* pending = PyErr_GetRaisedException();
    try {
        if (PySDK* object = instance(self)) object->stopIfInitialised();
    } catch (py::error_already_set& e) {
        e.discard_as_unraisable(py::reinterpret_borrow<py::object>(self));
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
        PyErr_WriteUnraisable(self);
    }
    PyErr_SetRaisedException(pending);
}

}  // namespace

void setupGc(PyHeapTypeObject* heapType) {
    PyTypeObject* type = &heapType->ht_type;
    type->tp_flags |= Py_TPFLAGS_HAVE_GC;
    type->tp_traverse = &traverse;
    type->tp_clear = &clear;
    type->tp_finalize = &finalize;
}

}  // namespace movra::python
