// The haptic effects, for the vantor package: built and tuned from Python,
// computed in C++ every cycle.
#include <pybind11/stl.h>

#include <memory>
#include <utility>
#include <vector>

#include "Vantor/HardwareAPI/Control/Effects.h"
#include "conventions.h"

namespace vantor_bindings {

using namespace pybind11::literals;
using namespace Vantor::HardwareAPI::Control;

namespace {

// A Python function as an effect: on_cycle(position, velocity) -> force. It
// takes the interpreter lock each cycle; an exception or a bad result gives
// NaN, which the loop latches as a fault, and is kept for the caller.
class CallbackEffect : public Effect {
public:
    explicit CallbackEffect(py::function fn) : fn_(std::move(fn)) {}
    ~CallbackEffect() override {
        py::gil_scoped_acquire gil;
        fn_ = py::function();
        error_ = py::object();
    }

    Vec3 Force(const Vec3& position, const Vec3& velocity) override {
        py::gil_scoped_acquire gil;
        try {
            const py::object result = fn_(position, velocity);
            return result.cast<Vec3>();
        } catch (py::error_already_set& e) {
            error_ = e.value();
        } catch (const py::cast_error&) {
            error_ = py::str("on_cycle must return three numbers");
        }
        return {std::nan(""), 0, 0};
    }

    // The exception (or message) that made the last cycle fail, or None.
    py::object error() const { return error_ ? error_ : py::none(); }

private:
    py::function fn_;
    py::object error_;
};

// A read-write property over one field of an effect's parameters: a write
// replaces the whole set, so a cycle sees the old set or the new one.
template <typename E, typename T>
void field(py::class_<E, Effect, std::shared_ptr<E>>& cls, const char* name, T E::Params::*member) {
    cls.def_property(
        name, [member](const E& e) { return e.params().*member; },
        [member](E& e, const T& value) {
            typename E::Params p = e.params();
            p.*member = value;
            e.set_params(p);
        });
}

}  // namespace

void bind_effects(py::module_& m) {
    py::class_<Effect, std::shared_ptr<Effect>>(m, "Effect", "A force computed each cycle from position and velocity")
        .def("__add__", [](const EffectPtr& a, const EffectPtr& b) {
            return std::make_shared<Sum>(std::vector<EffectPtr>{a, b});
        });

    py::class_<Spring, Effect, std::shared_ptr<Spring>> spring(m, "Spring", "Pulls towards anchor: k (anchor - p) - b v");
    spring.def(py::init([](const Vec3& anchor, double stiffness, double damping) {
                   return std::make_shared<Spring>(Spring::Params{anchor, stiffness, damping});
               }),
               "anchor"_a, "stiffness"_a, "damping"_a = 0.0);
    field(spring, "anchor", &Spring::Params::anchor);
    field(spring, "stiffness", &Spring::Params::stiffness);
    field(spring, "damping", &Spring::Params::damping);

    py::class_<Damper, Effect, std::shared_ptr<Damper>> damper(m, "Damper", "Resists motion: -b v");
    damper.def(py::init([](double damping) { return std::make_shared<Damper>(Damper::Params{damping}); }),
               "damping"_a);
    field(damper, "damping", &Damper::Params::damping);

    py::class_<Plane, Effect, std::shared_ptr<Plane>> plane(
        m, "Plane", "A wall through point; normal points into free space. Pushes out only while penetrated");
    plane.def(py::init([](const Vec3& point, const Vec3& normal, double stiffness, double damping) {
                  return std::make_shared<Plane>(Plane::Params{point, normal, stiffness, damping});
              }),
              "point"_a, "normal"_a, "stiffness"_a, "damping"_a = 0.0);
    field(plane, "point", &Plane::Params::point);
    field(plane, "normal", &Plane::Params::normal);
    field(plane, "stiffness", &Plane::Params::stiffness);
    field(plane, "damping", &Plane::Params::damping);
    plane.def("penetration", [](const Plane& p, const Vec3& position) { return Plane::Penetration(p.params(), position); },
              "position"_a, "How far behind the wall position is (m), 0 in free space");

    py::class_<Sphere, Effect, std::shared_ptr<Sphere>> sphere(
        m, "Sphere", "A solid ball, or with inside=True a cage that keeps the effector in");
    sphere.def(py::init([](const Vec3& center, double radius, double stiffness, double damping, bool inside) {
                   return std::make_shared<Sphere>(Sphere::Params{center, radius, stiffness, damping, inside});
               }),
               "center"_a, "radius"_a, "stiffness"_a, "damping"_a = 0.0, "inside"_a = false);
    field(sphere, "center", &Sphere::Params::center);
    field(sphere, "radius", &Sphere::Params::radius);
    field(sphere, "stiffness", &Sphere::Params::stiffness);
    field(sphere, "damping", &Sphere::Params::damping);
    field(sphere, "inside", &Sphere::Params::inside);

    py::class_<Box, Effect, std::shared_ptr<Box>> box(m, "Box", "Keeps the effector inside the box");
    box.def(py::init([](const Vec3& lower, const Vec3& upper, double stiffness, double damping) {
                return std::make_shared<Box>(Box::Params{lower, upper, stiffness, damping});
            }),
            "lower"_a, "upper"_a, "stiffness"_a, "damping"_a = 0.0);
    field(box, "lower", &Box::Params::lower);
    field(box, "upper", &Box::Params::upper);
    field(box, "stiffness", &Box::Params::stiffness);
    field(box, "damping", &Box::Params::damping);

    py::class_<ConstantForce, Effect, std::shared_ptr<ConstantForce>> constant(m, "ConstantForce",
                                                                               "The same force everywhere");
    constant.def(py::init([](const Vec3& force) { return std::make_shared<ConstantForce>(ConstantForce::Params{force}); }),
                 "force"_a);
    field(constant, "force", &ConstantForce::Params::force);

    py::class_<Sum, Effect, std::shared_ptr<Sum>>(m, "Sum", "The sum of other effects")
        .def(py::init([](py::args parts) {
            std::vector<EffectPtr> effects;
            for (const py::handle part : parts) effects.push_back(part.cast<EffectPtr>());
            return std::make_shared<Sum>(std::move(effects));
        }))
        .def_property_readonly("parts", &Sum::parts);

    py::class_<CallbackEffect, Effect, std::shared_ptr<CallbackEffect>>(
        m, "CallbackEffect", "A Python function fn(position, velocity) -> force, called each cycle")
        .def(py::init<py::function>(), "fn"_a)
        .def_property_readonly("error", &CallbackEffect::error);
}

}  // namespace vantor_bindings
