// Collects the library's error lines in a test sink instead of standard
// error, in the shape of GoogleTest's stderr capture.
#pragma once

#include <string>

namespace vantor_test {

// From now on the library's lines are kept, not written.
void CaptureLog();
// The lines kept since CaptureLog; the default sink is back afterwards.
std::string CapturedLog();

}  // namespace vantor_test
