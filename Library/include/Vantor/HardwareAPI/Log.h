// Where the library's "[err]" lines go. By default each line is written to
// standard error and standard error is flushed; a program can send them
// elsewhere, or nowhere.
#pragma once

namespace Vantor {
namespace HardwareAPI {

// Receives one whole line, newline included, on the thread that logged it.
using LogSink = void (*)(const char* line, void* context);

// Installs sink with its context (a null sink restores the default). Lines
// logged after the call reach the new sink; a line being delivered to the
// old one finishes first.
void SetLogSink(LogSink sink, void* context);

// The default sink: the line to standard error, then a flush.
void WriteLogLineToStandardError(const char* line, void* context);

// How many lines the calling thread has logged so far, whatever the sink.
unsigned long long LogLinesOfThisThread();

}  // namespace HardwareAPI
}  // namespace Vantor
