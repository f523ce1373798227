// SIGINT and SIGTERM for corvena-index. The handler only sets a flag and writes a byte to a
// pipe; the main thread, woken by the pipe, asks the running worker to stop.
#pragma once

// Installs the handlers (a signal ignored from the start stays ignored); false when it cannot.
bool InstallSignalHandlers();
// A handled signal has come.
bool Signalled();
// The pipe's end to poll or watch for reading; -1 before InstallSignalHandlers.
int SignalFd();
// Reads what the handler wrote, so that the pipe wakes again for the next signal.
void DrainSignalFd();
