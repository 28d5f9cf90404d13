#pragma once

#include <functional>

class PrivilegedHelper;

// The helper removes what it prepared for an installation however this process ends; Ctrl-C, hang-up and
// termination only let the helper finish before the exit status shows.
//
// CleanUpOnEndSignals installs handlers for SIGINT, SIGTERM and SIGHUP once per process. A handler only writes
// the signal number into a pipe; one thread reads it, closes the helper's connection, gives the helper a
// second to remove what it added, and ends the process with 128 + the signal. Handlers, unlike a blocked signal mask,
// are not inherited by programs the process starts.
void CleanUpOnEndSignals(PrivilegedHelper& helper);

// While set, the first end signal only calls `stop` (on the signal thread) and the process goes on, so that a
// long run can end its work cleanly and keep its results; a second signal ends the process as above. An empty
// function restores ending at the first signal.
void SetFirstEndSignalHandler(std::function<void(int signal)> stop);
