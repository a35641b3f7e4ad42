// A str, bytes or bytearray argument as bytes, without a copy where that is safe.
//
// publish hands the payload to the library with the interpreter lock released. The UTF-8 form of a
// str and the contents of a bytes object cannot change while the call holds its arguments, so the
// library reads them where Python keeps them. A bytearray can be resized by another thread
// meanwhile, so its contents are copied. Accepts exactly what pybind11's std::string caster accepts
// and shows as `str` in signatures.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <string_view>

namespace movra::python {

class ByteView {
public:
    std::string_view bytes() const { return copied ? std::string_view(owned) : view; }

private:
    friend struct pybind11::detail::type_caster<ByteView>;
    std::string_view view;
    std::string owned;
    bool copied = false;
};

}  // namespace movra::python

namespace pybind11::detail {

template <>
struct type_caster<movra::python::ByteView> {
    PYBIND11_TYPE_CASTER(movra::python::ByteView, const_name("str"));

    bool load(handle src, bool) {
        PyObject* object = src.ptr();
        if (PyUnicode_Check(object)) {
            Py_ssize_t size = 0;
            const char* data = PyUnicode_AsUTF8AndSize(object, &size);
            if (data == nullptr) {
                PyErr_Clear();
                return false;
            }
            value.view = std::string_view(data, static_cast<std::size_t>(size));
            return true;
        }
        if (PyBytes_Check(object)) {
            value.view = std::string_view(PyBytes_AS_STRING(object),
                                          static_cast<std::size_t>(PyBytes_GET_SIZE(object)));
            return true;
        }
        if (PyByteArray_Check(object)) {
            value.owned.assign(PyByteArray_AS_STRING(object),
                               static_cast<std::size_t>(PyByteArray_GET_SIZE(object)));
            value.copied = true;
            return true;
        }
        return false;
    }
};

}  // namespace pybind11::detail
