// Inside the library: which ports this process holds open through a
// SerialStream, so that discovery can leave them alone. Ports are compared
// as devices, not as path texts: a link and its target are one port.
#pragma once

namespace Vantor {
namespace HardwareAPI {
namespace IO {
namespace open_ports {

// Notes that fd, held by owner, is open; Forget drops whatever owner held.
void Remember(const void* owner, int fd);
void Forget(const void* owner);
// Whether path names a port that some SerialStream of this process has open.
bool IsOpen(const char* path);

}  // namespace open_ports
}  // namespace IO
}  // namespace HardwareAPI
}  // namespace Vantor
