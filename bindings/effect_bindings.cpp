// The haptic effects, for the vantor package: built and tuned from Python,
// computed in C++ every cycle; and a Python function as an effect, computed
// on a thread of its own.
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cmath>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Vantor/HardwareAPI/Control/AsyncEffect.h"
#include "Vantor/HardwareAPI/Control/Effects.h"
#include "Vantor/HardwareAPI/Control/Mesh.h"
#include "conventions.h"

namespace vantor_bindings {

using namespace pybind11::literals;
using namespace Vantor::HardwareAPI::Control;

namespace {

// The last exception a Python effect raised, or what was wrong with its
// last result; touched with the interpreter lock held only.
// A force component: a real number, and no bool (numpy's included).
bool is_real(PyObject* item) {
    if (PyBool_Check(item)) return false;
    if (PyFloat_Check(item) || PyLong_Check(item)) return true;
    static PyObject* real = PyObject_GetAttrString(PyImport_ImportModule("numbers"), "Real");  // kept for good
    if (real == nullptr) return false;
    const int is = PyObject_IsInstance(item, real);
    if (is < 0) PyErr_Clear();
    return is == 1;
}

// result as three real numbers; false when it is not that.
bool as_force(PyObject* result, Vector3d& force) {
    if (PyUnicode_Check(result) || PyBytes_Check(result) || PyByteArray_Check(result) || !PySequence_Check(result))
        return false;
    const Py_ssize_t size = PySequence_Size(result);
    if (size != 3) {
        if (size < 0) PyErr_Clear();
        return false;
    }
    for (Py_ssize_t i = 0; i < 3; ++i) {
        PyObject* item = PySequence_GetItem(result, i);
        const bool ok = item != nullptr && is_real(item);
        force[i] = ok ? PyFloat_AsDouble(item) : 0.0;
        Py_XDECREF(item);
        if (!ok || PyErr_Occurred()) {  // an int too large for a double
            PyErr_Clear();
            return false;
        }
    }
    return true;
}

std::string short_repr(PyObject* object) {
    PyObject* text = PyObject_Repr(object);
    std::string out = "an object that cannot be shown";
    if (text != nullptr) {
        const char* utf8 = PyUnicode_AsUTF8(text);
        if (utf8 != nullptr) out = utf8;
        Py_DECREF(text);
    }
    PyErr_Clear();
    return out.size() > 80 ? out.substr(0, 77) + "..." : out;
}

// fn(position, velocity[, t, period]) -> three real numbers, on the effect's
// own thread. An exception or a bad result gives a force that is not finite,
// which the loop latches as a fault, and is kept for the caller. Plain C
// calls only between taking the lock and giving it back: at exit the
// interpreter may end this thread from inside fn, by unwinding it.
Vector3d CallPython(PyObject* fn, bool with_time, ErrorSlot& slot, const EffectInput& in) {
    const double none = std::numeric_limits<double>::quiet_NaN();
    Vector3d force{none, none, none};
    if (!PythonThread::Attach()) return force;
    const Vector3d& p = in.position;
    const Vector3d& v = in.velocity;
    PyObject* result = with_time ? PyObject_CallFunction(fn, "[ddd][ddd]dd", p[0], p[1], p[2], v[0], v[1], v[2], in.t,
                                                         in.period)
                                 : PyObject_CallFunction(fn, "[ddd][ddd]", p[0], p[1], p[2], v[0], v[1], v[2]);
    if (result == nullptr) {
        keep_raised(slot);
    } else {
        Vector3d got{};
        if (as_force(result, got)) {
            force = got;
        } else {
            const std::string text = "the effect's function returned " + short_repr(result) +
                                     ": a force is three real numbers (fx, fy, fz), in N";
            PyObject* message = PyUnicode_FromString(text.c_str());
            if (message != nullptr) slot.error = std::make_shared<PyRef>(py::reinterpret_steal<py::object>(message));
            PyErr_Clear();
        }
        Py_DECREF(result);
    }
    PythonThread::Detach();
    return force;
}

std::string function_name(const py::function& fn) {
    const py::object name = py::getattr(fn, "__qualname__", py::getattr(fn, "__name__", py::none()));
    return name.is_none() ? std::string(py::repr(fn)) : std::string(py::str(name));
}

class PythonEffect : public AsyncEffect {
public:
    PythonEffect(const py::function& fn, bool with_time, std::optional<double> max_age_s, bool active,
                 std::shared_ptr<ErrorSlot> slot)
        : AsyncEffect(
              [ref = std::make_shared<PyRef>(fn), with_time, slot](const EffectInput& in) {
                  return CallPython(ref->get().ptr(), with_time, *slot, in);
              },
              max_age_s),
          name_("Callback(" + function_name(fn) + ")"),
          active_(active),
          slot_(std::move(slot)) {}
    // Never waits for the function, which may block: the thread ends when it
    // returns, and lets go of the function then.
    ~PythonEffect() override { StopWithoutWaiting(); }

    std::string Name() const override { return name_; }

    // The exception (or message) that made the last force fail, or None.
    py::object error() const {
        if (!slot_->error) return py::none();
        return py::reinterpret_borrow<py::object>(slot_->error->get());
    }

    bool Active() const override { return active_; }

private:
    const std::string name_;
    const bool active_;
    std::shared_ptr<ErrorSlot> slot_;
};

// max_age_s as Python gives it: None for the default, else a real number.
std::optional<double> max_age(const py::handle value) {
    if (value.is_none()) return std::nullopt;
    if (!is_real(value.ptr()))
        throw py::type_error("max_age_s must be a number of seconds or None, got " +
                             std::string(py::str(py::type::handle_of(value).attr("__name__"))));
    const double age = PyFloat_AsDouble(value.ptr());
    if (PyErr_Occurred()) {
        PyErr_Clear();
        throw py::value_error("max_age_s must be between 0.0005 and 1 s, or None for 8 periods of the loop; got " +
                              std::string(py::repr(value)));
    }
    return age;
}

// A read-write property over one field of an effect's parameters: a write
// replaces the whole set, so a cycle sees the old set or the new one; a bad
// value raises ValueError and the effect keeps the set it had.
template <typename E, typename T>
void field(py::class_<E, Effect, std::shared_ptr<E>>& cls, const char* name, T E::Params::*member, const char* doc) {
    cls.def_property(
        name, [member](const E& e) { return e.params().*member; },
        [member](E& e, const T& value) {
            typename E::Params p = e.params();
            p.*member = value;
            e.set_params(p);
        },
        doc);
}

EffectPtr as_effect(py::handle part, const char* where) {
    if (!py::isinstance<Effect>(part))
        throw py::type_error(std::string(where) + " takes effects (vantor.effects), got " +
                             py::str(py::type::handle_of(part).attr("__name__")).cast<std::string>());
    return part.cast<EffectPtr>();
}

// A read-write property over one of a mesh's parameters, as field does.
void mesh_field(py::class_<Mesh, Effect, std::shared_ptr<Mesh>>& cls, const char* name, double MeshParams::*member,
                const char* doc) {
    cls.def_property(
        name, [member](const Mesh& e) { return e.params().*member; },
        [member](Mesh& e, double value) {
            MeshParams p = e.params();
            p.*member = value;
            e.set_params(p);
        },
        doc);
}

// An (n, 3) array from numpy or nested sequences, as rows; ValueError naming
// what it should be.
template <typename T>
std::vector<std::array<T, 3>> rows(const py::handle value, const char* name, const char* what) {
    py::array_t<T, py::array::c_style | py::array::forcecast> array;
    try {
        array = py::array_t<T, py::array::c_style | py::array::forcecast>::ensure(value);
    } catch (const py::error_already_set&) {
    }
    if (!array || array.ndim() != 2 || array.shape(1) != 3)
        throw py::value_error(std::string(name) + " must be an (n, 3) array of " + what);
    std::vector<std::array<T, 3>> out(static_cast<std::size_t>(array.shape(0)));
    const auto view = array.template unchecked<2>();
    for (py::ssize_t i = 0; i < array.shape(0); ++i)
        for (py::ssize_t k = 0; k < 3; ++k) out[static_cast<std::size_t>(i)][static_cast<std::size_t>(k)] = view(i, k);
    return out;
}

}  // namespace

void bind_effects(py::module_& m) {
    py::class_<Effect, std::shared_ptr<Effect>> effect(m, "Effect",
                                                       "A force computed each cycle from position and velocity");
    effect.def_property_readonly("active", &Effect::Active,
                                 "whether it does work on the hand on purpose (ConstantForce, a Callback made"
                                 " active): left out of the loop's energy. A Sum's parts each say it");

    py::class_<Spring, Effect, std::shared_ptr<Spring>> spring(m, "Spring", "Pulls towards anchor: k (anchor - p) - b v");
    spring.def(py::init([](const Vector3d& anchor, double stiffness, double damping) {
                   return std::make_shared<Spring>(Spring::Params{anchor, stiffness, damping});
               }),
               "anchor"_a, "stiffness"_a, "damping"_a = 0.0);
    field(spring, "anchor", &Spring::Params::anchor, "where it pulls to (m)");
    field(spring, "stiffness", &Spring::Params::stiffness, "N/m, 0 or more");
    field(spring, "damping", &Spring::Params::damping, "N s/m, 0 or more");

    py::class_<Damper, Effect, std::shared_ptr<Damper>> damper(m, "Damper", "Resists motion: -b v");
    damper.def(py::init([](double damping) { return std::make_shared<Damper>(Damper::Params{damping}); }),
               "damping"_a);
    field(damper, "damping", &Damper::Params::damping, "N s/m, 0 or more");

    py::class_<Plane, Effect, std::shared_ptr<Plane>> plane(
        m, "Plane", "A wall through point; normal points into free space. Pushes out only while penetrated");
    plane.def(py::init([](const Vector3d& point, const Vector3d& normal, double stiffness, double damping) {
                  return std::make_shared<Plane>(Plane::Params{point, normal, stiffness, damping});
              }),
              "point"_a, "normal"_a, "stiffness"_a, "damping"_a = 0.0);
    field(plane, "point", &Plane::Params::point, "a point of the wall (m)");
    field(plane, "normal", &Plane::Params::normal, "out of the wall, into free space; made unit length");
    field(plane, "stiffness", &Plane::Params::stiffness, "N/m, 0 or more");
    field(plane, "damping", &Plane::Params::damping, "N s/m, 0 or more");
    plane.def("penetration",
              [](const Plane& p, const Vector3d& position) { return Plane::Penetration(p.params(), position); },
              "position"_a, "How far behind the wall position is (m), 0 in free space");

    py::class_<Sphere, Effect, std::shared_ptr<Sphere>> sphere(
        m, "Sphere", "A solid ball, or with inside=True a cage that keeps the effector in");
    sphere.def(py::init([](const Vector3d& center, double radius, double stiffness, double damping, bool inside) {
                   return std::make_shared<Sphere>(Sphere::Params{center, radius, stiffness, damping, inside});
               }),
               "center"_a, "radius"_a, "stiffness"_a, "damping"_a = 0.0, "inside"_a = false);
    field(sphere, "center", &Sphere::Params::center, "m");
    field(sphere, "radius", &Sphere::Params::radius, "m, above 0");
    field(sphere, "stiffness", &Sphere::Params::stiffness, "N/m, 0 or more");
    field(sphere, "damping", &Sphere::Params::damping, "N s/m, 0 or more");
    field(sphere, "inside", &Sphere::Params::inside, "True: a cage that keeps the effector in");

    py::class_<Box, Effect, std::shared_ptr<Box>> box(m, "Box", "Keeps the effector inside the box");
    box.def(py::init([](const Vector3d& lower, const Vector3d& upper, double stiffness, double damping) {
                return std::make_shared<Box>(Box::Params{lower, upper, stiffness, damping});
            }),
            "lower"_a, "upper"_a, "stiffness"_a, "damping"_a = 0.0);
    field(box, "lower", &Box::Params::lower, "the lower corner (m), below upper on every axis");
    field(box, "upper", &Box::Params::upper, "the upper corner (m)");
    field(box, "stiffness", &Box::Params::stiffness, "N/m, 0 or more");
    field(box, "damping", &Box::Params::damping, "N s/m, 0 or more");

    py::class_<ConstantForce, Effect, std::shared_ptr<ConstantForce>> constant(m, "ConstantForce",
                                                                               "The same force everywhere");
    constant.def(
        py::init([](const Vector3d& force) { return std::make_shared<ConstantForce>(ConstantForce::Params{force}); }),
        "force"_a);
    field(constant, "force", &ConstantForce::Params::force, "N");

    py::class_<Mesh, Effect, std::shared_ptr<Mesh>> mesh(
        m, "Mesh", "A triangle mesh touched through a proxy; use vantor.effects.Mesh");
    mesh.def(py::init([](const py::handle vertices, const py::handle triangles, double stiffness, double damping,
                         double static_friction, double dynamic_friction) {
                 const std::vector<Vector3d> v = rows<double>(vertices, "vertices", "coordinates in m");
                 const py::module_ numpy = py::module_::import("numpy");
                 const py::object t_array = numpy.attr("asarray")(triangles);
                 if (!numpy.attr("issubdtype")(t_array.attr("dtype"), numpy.attr("integer")).cast<bool>() &&
                     py::len(t_array) > 0)
                     throw py::value_error("triangles must be an (m, 3) array of vertex indices (integers)");
                 const std::vector<Triangle> t = rows<int64_t>(t_array, "triangles", "vertex indices");
                 const MeshParams params{stiffness, damping, static_friction, dynamic_friction};
                 py::gil_scoped_release released;  // the tree of a large mesh takes a while
                 return std::make_shared<Mesh>(v, t, params);
             }),
             "vertices"_a, "triangles"_a, py::kw_only(), "stiffness"_a, "damping"_a = 0.0, "static_friction"_a = 0.0,
             "dynamic_friction"_a = 0.0);
    mesh_field(mesh, "stiffness", &MeshParams::stiffness, "N/m, above 0: the spring from the effector to the proxy");
    mesh_field(mesh, "damping", &MeshParams::damping, "N s/m, 0 or more: along the contact normal");
    mesh_field(mesh, "static_friction", &MeshParams::static_friction,
               "0 or more: the proxy sticks while the tangential force is at most this times the normal force");
    mesh_field(mesh, "dynamic_friction", &MeshParams::dynamic_friction,
               "0 to static_friction: sliding, the tangential force is this times the normal force");
    mesh.def_property(
        "translation", [](const Mesh& e) { return e.pose().translation; },
        [](Mesh& e, const Vector3d& translation) {
            MeshPose pose = e.pose();
            pose.translation = translation;
            e.set_pose(pose);
        },
        "where the mesh's origin is (m); taken whole at the next cycle");
    mesh.def_property(
        "rotation",
        [](const Mesh& e) {
            const auto r = e.pose().rotation;
            return std::array<Vector3d, 3>{Vector3d{r[0], r[1], r[2]}, Vector3d{r[3], r[4], r[5]},
                                           Vector3d{r[6], r[7], r[8]}};
        },
        [](Mesh& e, const py::handle value) {
            const std::vector<std::array<double, 3>> r = rows<double>(value, "rotation", "numbers (a 3x3 matrix)");
            if (r.size() != 3) throw py::value_error("rotation must be a 3x3 matrix");
            MeshPose pose = e.pose();
            for (std::size_t i = 0; i < 3; ++i)
                for (std::size_t k = 0; k < 3; ++k) pose.rotation[3 * i + k] = r[i][k];
            e.set_pose(pose);
        },
        "the mesh's orientation, a 3x3 rotation matrix (rows); a point x of the mesh is at rotation @ x +"
        " translation");
    mesh.def_property_readonly("triangle_count", &Mesh::triangle_count, "the triangles rendered (those with an area)");
    mesh.def_property_readonly("skipped_triangles", &Mesh::skipped_triangles,
                               "the degenerate triangles (no area) left out when it was made");

    py::class_<Sum, Effect, std::shared_ptr<Sum>>(m, "Sum", "The sum of other effects")
        .def(py::init([](const py::args& parts) {
            std::vector<EffectPtr> effects;
            for (const py::handle part : parts) effects.push_back(as_effect(part, "Sum"));
            return std::make_shared<Sum>(effects);
        }))
        .def_property_readonly("parts", &Sum::parts, "the effects it adds up, in order");
    effect.def(
        "__add__", [](const EffectPtr& a, const EffectPtr& b) { return std::make_shared<Sum>(std::vector<EffectPtr>{a, b}); },
        py::is_operator(), "other"_a, "The sum of both: Sum(self, other)");

    py::class_<PythonEffect, Effect, std::shared_ptr<PythonEffect>>(
        m, "Callback", "A Python function as an effect, computed on a thread of its own; use vantor.effects.Callback")
        .def(py::init([](const py::function& fn, bool with_time, const py::object& max_age_s,
                         const py::object& active) {
                 return std::make_shared<PythonEffect>(fn, with_time, max_age(max_age_s), flag(active, "active"),
                                                       std::make_shared<ErrorSlot>());
             }),
             "fn"_a, py::kw_only(), "with_time"_a, "max_age_s"_a, "active"_a = py::bool_(false))
        .def_property_readonly("error", &PythonEffect::error,
                               "what the function raised last, or what was wrong with its result; None")
        .def_property_readonly("max_age_s", &PythonEffect::max_age_s,
                               "s: how old the input a force answered may be when the loop uses it; None:"
                               " 8 periods of the loop, at least 8 ms")
        .def_property_readonly("computed", &PythonEffect::computed, "forces computed so far")
        .def_property_readonly("delay_s", &PythonEffect::delay_s,
                               "how old, on average, the forces the loop used were (s): the delay it adds");
}

}  // namespace vantor_bindings
