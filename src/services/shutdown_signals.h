// The ends of the process that come as signals (SIGINT, SIGQUIT, SIGHUP, SIGTERM). The handlers
// only write the signal's number to a self-pipe; the main thread reads it and ends in order
// (the running command signalled, the Settings saved, the descriptors closed).
#pragma once

#include "services/console.h"

namespace wendrix {

// Installs the handlers (SA_RESTART) once per process and ignores SIGPIPE; later calls do
// nothing. False when the self-pipe could not be made (then no handler is installed).
bool InstallShutdownSignals();

// The read end of the self-pipe (non-blocking, close-on-exec): readable once a signal came.
// -1 before InstallShutdownSignals.
int ShutdownSignalDescriptor();

// Takes what the handlers wrote and tells the ending asked for since the start, and keeps
// telling it: SIGINT and SIGQUIT give kInterrupted, SIGHUP and SIGTERM kClosed (the graver one
// wins); kOpen while no signal came.
ConsoleState ShutdownSignalState();

// The first of those signals received, or 0.
int ShutdownSignalNumber();

// Whether that first signal came from the kernel, as a terminal's Ctrl+C and Ctrl+\ do, which
// reach the terminal's whole foreground process group at once.
bool ShutdownSignalFromTerminal();

}  // namespace wendrix
