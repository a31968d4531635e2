// What every bound member does the same way: warn before any I/O, release
// the interpreter lock around the library call, check list lengths, and keep
// null pointers away from the library.
#pragma once

#include <pybind11/pybind11.h>

#include <utility>
#include <vector>

namespace vantor_bindings {

namespace py = pybind11;

// A DeprecationWarning attributed to the caller's line. A filter that turns
// it into an error raises here, before anything reaches the device.
inline void warn_deprecated(const char* message) {
    if (PyErr_WarnEx(PyExc_DeprecationWarning, message, 1) != 0) throw py::error_already_set();
}

// Runs the library call with the interpreter lock released; the lock is
// taken back on return and on exception, before any Python object is built.
template <typename F>
auto released(F&& call) -> decltype(call()) {
    py::gil_scoped_release release;
    return call();
}

// The library reads or writes three values of every vector argument.
inline const float* three_values(const std::vector<float>& values, const char* name) {
    if (values.size() < 3)
        throw py::value_error(std::string(name) + " needs at least 3 values, got " +
                              std::to_string(values.size()));
    return values.data();
}

// None converts to a null pointer; the library has no use for one.
template <typename T>
T* not_none(T* pointer, const char* what) {
    if (pointer == nullptr) throw py::type_error(std::string(what) + " must not be None");
    return pointer;
}

// Devices keep only a pointer to their stream, so the device object keeps the
// stream object alive (self is argument 1, the stream argument 2).
using keeps_stream_alive = py::keep_alive<1, 2>;

void bind_stream(py::module_& m);
void bind_discovery(py::module_& m);
void bind_talon(py::module_& m);
void bind_handle(py::module_& m);

}  // namespace vantor_bindings
