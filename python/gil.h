// Releasing the interpreter lock around a blocking native call.
//
// pybind11's gil_scoped_release takes the lock back in a destructor. A thread that takes it back
// while the interpreter finalises (a daemon thread still inside publish at exit) is ended by CPython
// with pthread_exit, whose forced unwind cannot cross a noexcept destructor: std::terminate. Here the
// lock is taken back in ordinary code, so the forced unwind passes through and the thread ends
// quietly, as CPython intends.
#pragma once

#include <Python.h>
#include <cxxabi.h>

#include <type_traits>
#include <utility>

namespace movra::python {

template <class F>
decltype(auto) withoutGil(F&& body) {
    PyThreadState* state = PyEval_SaveThread();
    try {
        if constexpr (std::is_void_v<std::invoke_result_t<F>>) {
            std::forward<F>(body)();
            PyEval_RestoreThread(state);
        } else {
            auto result = std::forward<F>(body)();
            PyEval_RestoreThread(state);
            return result;
        }
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        PyEval_RestoreThread(state);
        throw;
    }
}

}  // namespace movra::python
