#include "conventions.h"

namespace vantor_bindings {

void bind_handle(py::module_&) {}

}  // namespace vantor_bindings
