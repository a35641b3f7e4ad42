// init's `will` argument: None, or a tuple (topic, payload, qos, retained) of a str, a str or bytes,
// an int and a bool, converted to the core's WillOptions.
//
// The shape and the types are checked here, while the arguments are converted with the interpreter
// lock held, and a wrong one raises TypeError naming what is wrong; the values (qos range, topic
// rules, lengths) are checked by the core's checkWillOptions, which init runs before anything
// changes. A str is taken as its UTF-8 bytes, a bytes payload as it is.
#pragma once

#include <pybind11/pybind11.h>

#include <climits>
#include <string>

#include "will_options.h"

namespace movra::python {

struct WillArgument {
    movra::WillOptions options;
};

}  // namespace movra::python

namespace pybind11::detail {

template <>
struct type_caster<movra::python::WillArgument> {
    PYBIND11_TYPE_CASTER(movra::python::WillArgument,
                         const_name("tuple[str, str | bytes, int, bool] | None"));

    bool load(handle src, bool) {
        value = {};
        if (src.is_none()) return true;
        if (!PyTuple_Check(src.ptr()) || PyTuple_GET_SIZE(src.ptr()) != 4) {
            throw type_error("will must be None or a tuple (topic, payload, qos, retained)");
        }
        auto item = [&](Py_ssize_t index) { return PyTuple_GET_ITEM(src.ptr(), index); };
        movra::WillOptions& will = value.options;
        if (!PyUnicode_Check(item(0))) throw type_error("will topic must be a str");
        will.topic = utf8(item(0));
        if (PyUnicode_Check(item(1))) {
            will.payload = utf8(item(1));
        } else if (PyBytes_Check(item(1))) {
            will.payload.assign(PyBytes_AS_STRING(item(1)),
                                static_cast<std::size_t>(PyBytes_GET_SIZE(item(1))));
        } else {
            throw type_error("will payload must be a str or bytes");
        }
        // An int and not a bool: True would pass as qos 1 unnoticed.
        if (!PyLong_Check(item(2)) || PyBool_Check(item(2)))
            throw type_error("will qos must be an int");
        int overflow = 0;
        const long qos = PyLong_AsLongAndOverflow(item(2), &overflow);
        // Any qos outside the int range is outside 0-2 as well; the core refuses it.
        will.qos = overflow != 0 || qos < INT_MIN || qos > INT_MAX ? -1 : static_cast<int>(qos);
        if (!PyBool_Check(item(3))) throw type_error("will retained must be a bool");
        will.retained = item(3) == Py_True;
        will.enabled = true;
        return true;
    }

private:
    // A str that cannot be encoded (a lone surrogate) raises UnicodeEncodeError.
    static std::string utf8(PyObject* text) {
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(text, &size);
        if (data == nullptr) throw error_already_set();
        return std::string(data, static_cast<std::size_t>(size));
    }
};

}  // namespace pybind11::detail
