#include "conventions.h"

namespace vantor_bindings {

void bind_discovery(py::module_&) {}

}  // namespace vantor_bindings
