// What every bound member does the same way: warn before any I/O, release
// the interpreter lock around the library call (letting Ctrl-C end its
// waits), check list lengths, and keep null pointers away from the library.
#pragma once

#include <pybind11/pybind11.h>

#ifdef __GLIBCXX__
#include <cxxabi.h>
#endif

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "Vantor/HardwareAPI/Control/Lending.h"
#include "Vantor/HardwareAPI/Control/SettingError.h"
#include "Vantor/HardwareAPI/Devices/Device.h"
#include "Vantor/HardwareAPI/Devices/Handle.h"

namespace vantor_bindings {

namespace py = pybind11;

// A DeprecationWarning attributed to the caller's line. A filter that turns
// it into an error raises here, before anything reaches the device.
inline void warn_deprecated(const char* message) {
    if (PyErr_WarnEx(PyExc_DeprecationWarning, message, 1) != 0) throw py::error_already_set();
}

namespace detail {

using Vantor::HardwareAPI::Devices::WaitAbortScope;

// Signal handlers run only on the main thread, so only its waits are made
// to end on Ctrl-C; set when the module is imported.
inline unsigned long& main_thread_ident() {
    static unsigned long ident = 0;
    return ident;
}

inline bool on_main_thread() { return PyThread_get_thread_ident() == main_thread_ident(); }

// Abort checks for a device wait: run the pending signal handlers and stop
// when one raised (KeyboardInterrupt, normally). A wait with the lock
// released takes it for that moment.
inline bool signal_raised_released(void* context) {
    PyThreadState*& state = *static_cast<PyThreadState**>(context);
    PyEval_RestoreThread(state);
    const bool raised = PyErr_CheckSignals() != 0;
    state = PyEval_SaveThread();
    return raised;
}

inline bool signal_raised_held(void*) { return PyErr_CheckSignals() != 0; }

// The exception a signal handler raised during the wait.
inline void raise_if_interrupted(const std::optional<WaitAbortScope>& interrupt) {
    if (interrupt && interrupt->aborted()) throw py::error_already_set();
}

}  // namespace detail

// Runs the library call with the interpreter lock released; the lock is
// taken back on return and on exception, before any Python object is built.
// Not a scoped guard: at interpreter exit a daemon thread that takes the
// lock back is ended by unwinding, which must not meet a destructor (they
// may not throw). On the main thread, Ctrl-C ends the call's device waits
// and raises here.
template <typename F>
auto released(F&& call) -> decltype(call()) {
    PyThreadState* state = nullptr;
    std::optional<detail::WaitAbortScope> interrupt;
    if (detail::on_main_thread()) interrupt.emplace(&detail::signal_raised_released, &state);
    state = PyEval_SaveThread();
    const auto run = [&]() -> decltype(call()) {
        try {
            return call();
#ifdef __GLIBCXX__
        } catch (abi::__forced_unwind&) {
            throw;  // the thread is being ended: no lock to take back
#endif
        } catch (...) {
            PyEval_RestoreThread(state);
            throw;
        }
    };
    if constexpr (std::is_void_v<decltype(call())>) {
        run();
        PyEval_RestoreThread(state);
        detail::raise_if_interrupted(interrupt);
    } else {
        auto result = run();
        PyEval_RestoreThread(state);
        detail::raise_if_interrupted(interrupt);
        return result;
    }
}

// A library call that keeps the interpreter lock: on the main thread, Ctrl-C
// still ends its device waits and raises here.
template <typename F>
auto interruptible(F&& call) -> decltype(call()) {
    std::optional<detail::WaitAbortScope> interrupt;
    if (detail::on_main_thread()) interrupt.emplace(&detail::signal_raised_held, nullptr);
    if constexpr (std::is_void_v<decltype(call())>) {
        call();
        detail::raise_if_interrupted(interrupt);
    } else {
        auto result = call();
        detail::raise_if_interrupted(interrupt);
        return result;
    }
}

// A device lent to a vantor servo loop or grip reader: its owner's calls
// would interleave with the loop's exchanges, so they are refused until the
// loop gives it back.
inline void refuse_if_lent(const Vantor::HardwareAPI::Devices::Device& device) {
    if (const char* borrower = Vantor::HardwareAPI::Control::BorrowerOf(device))
        throw std::runtime_error(std::string("driven by a ") + borrower + "; stop it first");
}

// A device's call, as above, once the device is its owner's to call.
template <typename F>
auto released(const Vantor::HardwareAPI::Devices::Device& device, F&& call) -> decltype(call()) {
    refuse_if_lent(device);
    return released(std::forward<F>(call));
}

template <typename F>
auto interruptible(const Vantor::HardwareAPI::Devices::Device& device, F&& call) -> decltype(call()) {
    refuse_if_lent(device);
    return interruptible(std::forward<F>(call));
}

// Whether the interpreter is shutting down: a thread of ours must not take
// its lock any more (the interpreter would end the thread inside the call).
inline bool interpreter_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

// Our native threads (an effect's, a reader's callback) enter the
// interpreter through this gate. It closes at exit, before the interpreter
// starts to shut down, because the interpreter ends any thread that takes its
// lock after that, unwinding it from wherever it stands. A thread that finds
// the gate closed does without Python: an effect gives no force, a callback
// is skipped, a reference is left for the process's end.
class PythonGate {
public:
    // False: closed; the caller must not take the interpreter lock.
    static bool Enter() {
        State& s = state();
        std::lock_guard<std::mutex> lock(s.mutex);
        if (s.closed) return false;
        ++s.inside;
        return true;
    }
    // After the interpreter lock is released.
    static void Leave() {
        State& s = state();
        std::lock_guard<std::mutex> lock(s.mutex);
        --s.inside;
        s.left.notify_all();
    }
    // At exit, with the interpreter lock held. Those inside are given a
    // moment to leave; a function blocked past it is ended by the
    // interpreter when it returns, which our frames below it allow.
    static void Close() {
        State& s = state();
        {
            std::lock_guard<std::mutex> lock(s.mutex);
            s.closed = true;
        }
        py::gil_scoped_release release;
        std::unique_lock<std::mutex> lock(s.mutex);
        s.left.wait_for(lock, std::chrono::seconds(1), [&] { return s.inside == 0; });
    }

private:
    struct State {
        std::mutex mutex;  // never held while the interpreter lock is awaited
        std::condition_variable left;
        bool closed = false;
        int inside = 0;
    };
    static State& state() {
        static State* s = new State;  // used by threads that may outlive static destruction
        return *s;
    }
};

// The interpreter lock on a native thread of ours, taken and given back by
// plain calls rather than a scoped guard: a thread the interpreter ends is
// unwound, and a destructor that gave the lock back then would end the
// process. One Python thread state per thread, for the thread's whole life:
// making one per call would cost more than a short callback.
class PythonThread {
public:
    // False, without the lock, once the gate is closed.
    static bool Attach() {
        if (!PythonGate::Enter()) return false;
        Keeper& keeper = this_thread();
        if (keeper.state == nullptr) {
            keeper.gil = PyGILState_Ensure();
            keeper.state = PyThreadState_Get();
        } else {
            PyEval_RestoreThread(keeper.state);
        }
        return true;
    }
    static void Detach() {
        PyEval_SaveThread();
        PythonGate::Leave();
    }

private:
    struct Keeper {
        PyThreadState* state = nullptr;
        PyGILState_STATE gil{};
        // At the thread's end: its thread state goes, unless the gate has closed.
        ~Keeper() {
            if (state == nullptr || !PythonGate::Enter()) return;
            PyEval_RestoreThread(state);
            PyGILState_Release(gil);
            PythonGate::Leave();
        }
    };
    static Keeper& this_thread() {
        thread_local Keeper keeper;
        return keeper;
    }
};

// A Python object held by native code that may let go of it on any thread,
// with the interpreter lock or without it: the reference is dropped with the
// lock taken, and kept for good once the gate has closed.
class PyRef {
public:
    explicit PyRef(py::object object) : object_(object.release()) {}
    ~PyRef() {
        if (!object_) return;
        if (PyGILState_Check()) {
            object_.dec_ref();
            return;
        }
        if (!PythonGate::Enter()) return;
        const PyGILState_STATE gil = PyGILState_Ensure();
        object_.dec_ref();
        PyGILState_Release(gil);
        PythonGate::Leave();
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    // With the interpreter lock held.
    py::handle get() const { return object_; }

private:
    py::handle object_;
};

// What a Python function of ours raised last (or what was wrong with what it
// returned), kept for the caller rather than lost on our thread.
struct ErrorSlot {
    std::shared_ptr<PyRef> error;
};

// With the interpreter lock: the exception raised now goes into the slot,
// with its traceback, by plain calls (see PythonThread).
inline void keep_raised(ErrorSlot& slot) {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    if (value != nullptr) slot.error = std::make_shared<PyRef>(py::reinterpret_steal<py::object>(value));
}

// A grip status as GetQuillonStatus gives it to Python: a dict with its
// keys in this order.
inline py::dict quillon_status_dict(const Vantor::HardwareAPI::Devices::QuillonStatus& s) {
    using namespace pybind11::literals;
    py::list quaternion(4);
    for (std::size_t i = 0; i < 4; ++i) quaternion[i] = py::float_(s.quaternion[i]);
    return py::dict("device_id"_a = s.device_id, "quaternion"_a = quaternion, "error_flag"_a = s.error_flag,
                    "hall_effect_sensor_level"_a = s.hall_effect_sensor_level, "buttons"_a = s.buttons,
                    "battery_level"_a = s.battery_level);
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

// --- settings ------------------------------------------------------------------------
// The library checks every setting's range in C++; here, once, a Python value
// becomes the C++ one, and a refusal quotes the value as the program gave it.

inline std::string type_name(py::handle value) { return py::str(py::type::handle_of(value).attr("__name__")); }

// A real number, as a double. A bool or a str is no number; a value beyond a
// double (10**400) becomes an infinity, which every range refuses.
inline double number(py::handle value, const char* name) {
    if (py::isinstance<py::bool_>(value) || !PyNumber_Check(value.ptr()) || PyComplex_Check(value.ptr()))
        throw py::type_error(std::string(name) + " must be a number, got " + type_name(value));
    const double converted = PyFloat_AsDouble(value.ptr());
    if (converted == -1.0 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw py::error_already_set();
        PyErr_Clear();
        const int negative = PyObject_RichCompareBool(value.ptr(), py::int_(0).ptr(), Py_LT);
        if (negative < 0) throw py::error_already_set();
        return negative ? -HUGE_VAL : HUGE_VAL;
    }
    return converted;
}

// A number, or None for a setting that is off.
inline std::optional<double> number_or_none(py::handle value, const char* name) {
    if (value.is_none()) return std::nullopt;
    return number(value, name);
}

inline bool flag(py::handle value, const char* name) {
    if (!py::isinstance<py::bool_>(value))
        throw py::type_error(std::string(name) + " must be True or False, got " + py::repr(value).cast<std::string>());
    return value.cast<bool>();
}

// A value as the program wrote it: its repr, or for an int too long to
// print, its size.
inline std::string as_given(py::handle value) {
    PyObject* text = PyObject_Repr(value.ptr());
    if (text == nullptr) {
        if (!PyLong_Check(value.ptr()) || !PyErr_ExceptionMatches(PyExc_ValueError)) throw py::error_already_set();
        PyErr_Clear();
        return "an int of " + py::str(value.attr("bit_length")()).cast<std::string>() + " bits";
    }
    return py::reinterpret_steal<py::str>(text).cast<std::string>();
}

// Runs the library's check of settings converted from `given` (by name): a
// refusal quotes the value given, not the double it became (10**400, not inf).
template <typename F>
void check_settings(const py::dict& given, F&& check) {
    try {
        check();
    } catch (const Vantor::HardwareAPI::Control::SettingError& refused) {
        if (!given.contains(refused.setting())) throw;
        throw py::value_error(refused.setting() + " " + refused.requirement() + ", got " +
                              as_given(given[py::str(refused.setting())]));
    }
}

// Devices keep only a pointer to their stream, so the device object keeps the
// stream object alive (self is argument 1, the stream argument 2).
using keeps_stream_alive = py::keep_alive<1, 2>;

void bind_stream_uuid_device(py::module_& m);
void bind_discovery(py::module_& m);
void bind_talon(py::module_& m);
void bind_handle(py::module_& m);

// vantor._native
void bind_effects(py::module_& m);
void bind_servo(py::module_& m);
void bind_grip(py::module_& m);
void bind_discovery_native(py::module_& m);

}  // namespace vantor_bindings
