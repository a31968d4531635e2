#include <iostream>

#include "Vantor/HardwareAPI/Version.h"
#include "conventions.h"

namespace py = pybind11;
using namespace vantor_bindings;

PYBIND11_MODULE(VantorHardwareAPI, m) {
    m.doc() = "Python Implementation of the Vantor Hardware API";
    detail::main_thread_ident() =
        py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();

    // Registration order is part of the module's face: keep it.
    bind_stream_uuid_device(m);  // SerialStream, UUID, Device
    m.def("get_cpp_version", &Vantor::HardwareAPI::get_cpp_version, "Get the version of the CPP library");
    m.def(
        "print_cpp_version",
        [] { std::cout << "Library version: " << Vantor::HardwareAPI::get_cpp_version() << std::endl; },
        "Print the version of the CPP library");
    bind_discovery(m);
    bind_talon(m);
    bind_handle(m);

    m.attr("__version__") = "dev";
}
