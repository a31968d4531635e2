// Inside the library: the grip's compact status frame read with why it
// ended. GetQuillonStatus folds that into its error_flag, where a frame the
// grip itself flagged cannot be told from a failed read; the grip reader
// needs the difference.
#pragma once

#include "Vantor/HardwareAPI/Devices/Handle.h"

namespace Vantor {
namespace HardwareAPI {
namespace Devices {

enum class FrameRead {
    Frame,     // decoded into status, with the grip's own error flag
    NoFrame,   // no frame code came within the reply time-out, or the read failed
    BadFrame,  // a frame code came, but not a whole, well-stuffed frame
};

// Reads and decodes the next compact status frame, as GetQuillonStatus does.
// *skipped, when given and still negative, is set to the first byte the
// search skipped: what a device that does not stream frames sent instead.
FrameRead ReadCompactFrame(Handle& handle, QuillonStatus& status, int* skipped = nullptr);

// After a wake-up: reads until the grip's handle information, skipping whole
// frames that stream meanwhile, and gives its device id, which is whole (a
// frame carries only the low byte). False when none came within the reply
// time-out, or the wait was ended.
bool ReadHandleInfoId(Handle& handle, uint16_t& device_id);

}  // namespace Devices
}  // namespace HardwareAPI
}  // namespace Vantor
