// Where the library's "[err]" lines go. By default each line is written to
// standard error and standard error is flushed; a program can send them
// elsewhere, or nowhere.
#pragma once

namespace Vantor {
namespace HardwareAPI {

// Receives one whole line, newline included, on the thread that logged it.
using LogSink = void (*)(const char* line, void* context);

// Installs sink with its context (a null sink restores the default). Lines
// logged after the call reach the new sink; the call returns once no line is
// being delivered to the old one, so its context may then go. The sink runs
// outside any lock of the library's and may itself log or swap sinks.
void SetLogSink(LogSink sink, void* context);

// The default sink: the line to standard error, then a flush.
void WriteLogLineToStandardError(const char* line, void* context);

// How many lines the calling thread has logged so far, whatever the sink.
unsigned long long LogLinesOfThisThread();

}  // namespace HardwareAPI
}  // namespace Vantor
