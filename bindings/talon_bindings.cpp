#include "conventions.h"

namespace vantor_bindings {

void bind_talon(py::module_&) {}

}  // namespace vantor_bindings
