// Releasing the interpreter lock around a native call that may block.
//
// Threading contract
// - Construct with the interpreter lock held; the destructor takes it back in the same thread.
// - While the interpreter finalises, CPython 3.12 ends a non-main thread that asks for the lock
//   (a daemon thread returning from a blocking call) with pthread_exit, whose forced unwind runs
//   up through this destructor. pybind11's gil_scoped_release has a noexcept destructor, so that
//   unwind would call std::terminate and abort the whole process; this one lets it pass, and the
//   thread ends quietly as every other daemon thread does.
#pragma once

#include <pybind11/pybind11.h>

namespace movra::python {

class GilRelease {
public:
    GilRelease() {
        // Sets up pybind11's per-thread state first, as gil_scoped_release does, so that a later
        // gil_scoped_acquire on a library thread finds it.
        pybind11::detail::get_internals();
        state = PyEval_SaveThread();
    }
    ~GilRelease() noexcept(false) { PyEval_RestoreThread(state); }

    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;

private:
    PyThreadState* state = nullptr;
};

}  // namespace movra::python
