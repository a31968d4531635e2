#include <pybind11/stl.h>

#include <memory>

#include "Vantor/HardwareAPI/Devices/Handle.h"
#include "conventions.h"

namespace vantor_bindings {

// An optional byte: None or an int from 0 to 255, shown as int.
struct OptionalByte {
    bool present = false;
    uint8_t value = 0;
};

}  // namespace vantor_bindings

namespace pybind11 {
namespace detail {

template <>
struct type_caster<vantor_bindings::OptionalByte> {
    PYBIND11_TYPE_CASTER(vantor_bindings::OptionalByte, const_name("int"));

    bool load(handle src, bool convert) {
        if (src.is_none()) {
            value = {};
            return true;
        }
        make_caster<uint8_t> byte;
        if (!byte.load(src, convert)) return false;
        value.present = true;
        value.value = cast_op<uint8_t>(byte);
        return true;
    }

    static handle cast(const vantor_bindings::OptionalByte& src, return_value_policy, handle) {
        if (!src.present) return none().release();
        return PyLong_FromLong(src.value);
    }
};

}  // namespace detail
}  // namespace pybind11

namespace vantor_bindings {

using namespace pybind11::literals;
using Vantor::HardwareAPI::Devices::Handle;
using Vantor::HardwareAPI::Devices::QuillonStatus;
using Vantor::HardwareAPI::IO::SerialStream;

namespace {

// Set while a bound callback method runs for a call of the base method from
// the override of the same name (api.Handle.OnReceive...(self, ...),
// super()): that call then reaches the library's own callback, not the
// override again.
thread_local const Handle* t_base_call = nullptr;

class BaseCall {
public:
    explicit BaseCall(const Handle* handle) : previous_(t_base_call) { t_base_call = handle; }
    ~BaseCall() { t_base_call = previous_; }
    BaseCall(const BaseCall&) = delete;
    BaseCall& operator=(const BaseCall&) = delete;

private:
    const Handle* previous_;
};

// Whether the Python code calling a bound callback method is the override of
// that name on the same object: the caller's frame runs a function of that
// name whose first argument is the object.
bool called_from_own_override(const Handle& handle, const char* name) {
    const py::handle self = py::detail::get_object_handle(&handle, py::detail::get_type_info(typeid(Handle)));
    if (!self) return false;
    const py::object frame = py::module_::import("sys").attr("_getframe")(0);
    const py::object code = frame.attr("f_code");
    if (code.attr("co_name").cast<std::string>() != name || code.attr("co_argcount").cast<int>() < 1)
        return false;
    const py::object first = code.attr("co_varnames")[py::int_(0)];
    const py::object value = frame.attr("f_locals").attr("get")(first);
    return value.is(self);
}

// The Python method overriding a callback on this object, or a null one. The
// lookup is the attribute on the object unless it is Handle's own bound
// method. It does not look at the Python stack, so a callback reached from
// inside an override (a nested Receive) still finds its override; base calls
// are told apart where they are made, in the bound methods.
py::function python_override(const Handle* handle, const char* name) {
    if (t_base_call == handle) {
        t_base_call = nullptr;
        return {};
    }
    const py::handle self = py::detail::get_object_handle(handle, py::detail::get_type_info(typeid(Handle)));
    if (!self) return {};
    py::object method = py::getattr(self, name, py::none());
    if (method.is_none() || !PyCallable_Check(method.ptr())) return {};
    py::function override = py::reinterpret_borrow<py::function>(method);
    if (override.is_cpp_function()) return {};
    return override;
}

// The library's callbacks forwarded to a Python subclass. Each takes the
// interpreter lock: Receive runs with it released.
class TrampolineHandle : public Handle {
public:
    using Handle::Handle;
    using Handle::OnReceiveHandleErrorResponse;
    using Handle::OnReceiveHandleInfo;
    using Handle::OnReceiveHandleStatusMessage;

    void OnReceiveHandleInfo(uint8_t tool_data_remaining, uint16_t device_id, uint8_t device_model_number,
                             uint8_t hardware_version, uint8_t firmware_version) override {
        py::gil_scoped_acquire gil;
        if (py::function override = python_override(this, "OnReceiveHandleInfo"))
            override(tool_data_remaining, device_id, device_model_number, hardware_version, firmware_version);
    }

    void OnReceiveHandleStatusMessage(uint16_t device_id, const float* quaternion, uint8_t error_flag,
                                      uint8_t hall_effect_sensor_level, uint8_t user_data_length,
                                      const uint8_t* user_data) override {
        py::gil_scoped_acquire gil;
        py::function override = python_override(this, "OnReceiveHandleStatusMessage");
        if (!override)
            py::pybind11_fail(
                "Tried to call pure virtual function \"API::Devices::Handle::OnReceiveHandleStatusMessage\"");
        py::list components(4);
        for (std::size_t i = 0; i < 4; ++i) components[i] = py::float_(quaternion[i]);
        py::list data(user_data_length);
        for (std::size_t i = 0; i < user_data_length; ++i) data[i] = py::int_(user_data[i]);
        override(device_id, components, error_flag, hall_effect_sensor_level, user_data_length, data);
    }

    void OnReceiveHandleErrorResponse(uint16_t device_id, uint8_t error_code) override {
        py::gil_scoped_acquire gil;
        if (py::function override = python_override(this, "OnReceiveHandleErrorResponse"))
            override(device_id, error_code);
    }
};

}  // namespace

void bind_handle(py::module_& m) {
    py::class_<Handle, TrampolineHandle>(m, "Handle", "The quillon handle class")
        // Exactly Handle: a plain object; a Python subclass: one that forwards
        // the callbacks.
        .def(py::init([](SerialStream* stream) { return std::make_unique<Handle>(not_none(stream, "stream")); },
                      [](SerialStream* stream) {
                          return std::unique_ptr<Handle>(
                              std::make_unique<TrampolineHandle>(not_none(stream, "stream")));
                      }),
             keeps_stream_alive())
        .def("SendDeviceWakeup", [](Handle& handle) { released(handle, [&] { handle.SendDeviceWakeup(); }); })
        .def(
            "SendHandleState",
            [](Handle& handle, uint16_t device_id, uint8_t data_length, OptionalByte user_data) {
                // One byte at most comes from Python: the library must not read past it.
                if (data_length > 1) throw py::value_error("data_length must be 0 or 1: user_data holds one byte");
                if (data_length == 1 && !user_data.present)
                    throw py::value_error("user_data must be given when data_length is 1");
                const uint8_t* data = user_data.present ? &user_data.value : nullptr;
                released(handle, [&] { handle.SendHandleState(device_id, data_length, data); });
            },
            py::arg("device_id") = 0, py::arg("data_length") = 0, py::arg("user_data") = py::none(),
            "send handle state")
        .def(
            "RequestStatus", [](Handle& handle) { released(handle, [&] { handle.RequestStatus(); }); },
            "request handle status")
        .def(
            "OnReceiveHandleInfo",
            [](Handle& handle, uint8_t tool_data_remaining, uint16_t device_id, uint8_t device_model_number,
               uint8_t hardware_version, uint8_t firmware_version) {
                const BaseCall base(called_from_own_override(handle, "OnReceiveHandleInfo") ? &handle : nullptr);
                handle.OnReceiveHandleInfo(tool_data_remaining, device_id, device_model_number, hardware_version,
                                           firmware_version);
            },
            py::arg("tool_data_remaining"), py::arg("device_id"), py::arg("device_model_number"),
            py::arg("hardware_version"), py::arg("firmware_version"), "OnReceiveHandleInfo")
        .def(
            "OnReceiveHandleStatusMessage",
            [](Handle& handle, uint16_t device_id, float quaternion, uint8_t error_flag,
               uint8_t hall_effect_sensor_level, uint8_t user_data_length, uint8_t user_data) {
                // Python gives one value of each; the callback may read four
                // floats and user_data_length bytes, so it reads them from
                // zero-padded copies.
                const float components[4] = {quaternion, 0.0f, 0.0f, 0.0f};
                uint8_t data[255] = {user_data};
                const BaseCall base(called_from_own_override(handle, "OnReceiveHandleStatusMessage") ? &handle
                                                                                                   : nullptr);
                handle.OnReceiveHandleStatusMessage(device_id, components, error_flag, hall_effect_sensor_level,
                                                    user_data_length, data);
            },
            py::arg("device_id"), py::arg("quaternion"), py::arg("error_flag"), py::arg("hall_effect_sensor_level"),
            py::arg("user_data_length"), py::arg("user_data"), "OnReceiveHandleStatusMessage")
        .def(
            "OnReceiveHandleErrorResponse",
            [](Handle& handle, uint16_t device_id, uint8_t error_code) {
                const BaseCall base(called_from_own_override(handle, "OnReceiveHandleErrorResponse") ? &handle
                                                                                                   : nullptr);
                handle.OnReceiveHandleErrorResponse(device_id, error_code);
            },
            py::arg("device_id"), py::arg("error_code"), "OnReceiveHandleErrorResponse")
        .def(
            "Receive", [](Handle& handle) { return released(handle, [&] { return handle.Receive(); }); },
            "Receive data from the handle")
        .def(
            "Receive",
            [](Handle& handle, uint8_t /*obsolete*/) {
                warn_deprecated("Receive with one argument is deprecated");
                return released(handle, [&] { return handle.Receive(); });
            },
            py::arg("obsolete"), "[DEPRECATED] Receive current and return current")
        .def(
            "GetQuillonStatus",
            [](Handle& handle) { return quillon_status_dict(released(handle, [&] { return handle.GetQuillonStatus(); })); },
            "Get the most recent Quillon informations");
}

}  // namespace vantor_bindings
