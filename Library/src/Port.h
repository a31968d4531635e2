// Inside the library: the port's system calls, one set of functions for the
// stream and for the benchmark's raw floor, so the two never drift apart.
#pragma once

namespace Vantor {
namespace HardwareAPI {
namespace IO {
namespace port {

// Opens path read-write, non-blocking, as no controlling terminal. Returns
// the descriptor, or -1 when it cannot be opened or is not a terminal (a
// file or a pipe would be overwritten by the first request, or echo it).
int Open(const char* path);

// The device's line: 115200 baud, 8N1, raw, no flow control, DTR raised;
// then whatever was already waiting is discarded, so the first reply read is
// to this program's request, not a late one or a streaming backlog.
void Configure(int fd);

// Bytes waiting to be read; 0 when the query fails.
int Waiting(int fd);

// Sleeps in poll() until at least `count` bytes wait, the line hangs up, or
// timeout_ms pass; gives poll's events, 0 when none. For a count above one
// the line's minimum read count (at most kMostCounted) is raised for the
// wait, which the terminal's readiness honours, so a reply that is partly in
// wakes the wait only when the rest has come.
constexpr int kMostCounted = 255;
short WaitForBytes(int fd, int count, int timeout_ms);

}  // namespace port
}  // namespace IO
}  // namespace HardwareAPI
}  // namespace Vantor
