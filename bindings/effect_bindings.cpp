// The haptic effects, for the vantor package: built and tuned from Python,
// computed in C++ every cycle; and a Python function as an effect, computed
// on a thread of its own.
#include <pybind11/stl.h>

#include <cmath>
#include <limits>
#include <memory>
#include <utility>
#include <vector>

#include "Vantor/HardwareAPI/Control/AsyncEffect.h"
#include "Vantor/HardwareAPI/Control/Effects.h"
#include "conventions.h"

namespace vantor_bindings {

using namespace pybind11::literals;
using namespace Vantor::HardwareAPI::Control;

namespace {

// The last exception a Python effect raised; touched with the interpreter
// lock held only.
struct ErrorSlot {
    std::shared_ptr<PyRef> error;
};

// fn(position, velocity[, t, period]) -> three numbers, on the effect's own
// thread. An exception or a bad result gives a force that is not finite,
// which the loop latches as a fault, and is kept for the caller.
Vector3d CallPython(const PyRef& fn, bool with_time, ErrorSlot& slot, const EffectInput& in) {
    const double none = std::numeric_limits<double>::quiet_NaN();
    Vector3d force{none, none, none};
    if (interpreter_finalizing()) return force;
    PythonLock lock;
    try {
        const py::object result = with_time ? fn.get()(in.position, in.velocity, in.t, in.period)
                                            : fn.get()(in.position, in.velocity);
        force = result.cast<Vector3d>();
    } catch (py::error_already_set& e) {
        slot.error = std::make_shared<PyRef>(e.value());
    } catch (const py::cast_error&) {
        slot.error = std::make_shared<PyRef>(py::str("the effect's function must return three numbers (fx, fy, fz)"));
    }
    return force;
}

class PythonEffect : public AsyncEffect {
public:
    PythonEffect(const py::function& fn, bool with_time, double max_age_s, bool active,
                 std::shared_ptr<ErrorSlot> slot)
        : AsyncEffect(
              [ref = std::make_shared<PyRef>(fn), with_time, slot](const EffectInput& in) {
                  return CallPython(*ref, with_time, *slot, in);
              },
              max_age_s),
          active_(active),
          slot_(std::move(slot)) {}
    // The thread may be waiting for the interpreter lock that the caller holds.
    ~PythonEffect() override {
        if (PyGILState_Check()) {
            py::gil_scoped_release release;
            Stop();
        } else {
            Stop();
        }
    }

    // The exception (or message) that made the last force fail, or None.
    py::object error() const {
        if (!slot_->error) return py::none();
        return py::reinterpret_borrow<py::object>(slot_->error->get());
    }

    bool Active() const override { return active_; }

private:
    const bool active_;
    std::shared_ptr<ErrorSlot> slot_;
};

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
        .def(py::init([](const py::function& fn, bool with_time, double max_age_s, bool active) {
                 return std::make_shared<PythonEffect>(fn, with_time, max_age_s, active,
                                                       std::make_shared<ErrorSlot>());
             }),
             "fn"_a, py::kw_only(), "with_time"_a, "max_age_s"_a, "active"_a = false)
        .def_property_readonly("error", &PythonEffect::error,
                               "what the function raised last, or what was wrong with its result; None")
        .def_property_readonly("max_age_s", &PythonEffect::max_age_s,
                               "s: how old the input a force answered may be when the loop uses it; 0 picks"
                               " 8 periods of the loop, at least 8 ms")
        .def_property_readonly("computed", &PythonEffect::computed, "forces computed so far")
        .def_property_readonly("delay_s", &PythonEffect::delay_s,
                               "how old, on average, the forces the loop used were (s): the delay it adds");
}

}  // namespace vantor_bindings
