#pragma once

class PrivilegedHelper;

// The helper removes what it prepared for an installation however this process ends; Ctrl-C, hang-up and
// termination only let the helper finish before the exit status shows.
//
// CleanUpOnEndSignals installs handlers for SIGINT, SIGTERM and SIGHUP once per process. A handler only writes
// the signal number into a pipe; one thread reads it, closes the helper's connection, gives the helper a
// second to remove what it added, and ends the process with 128 + the signal. Handlers, unlike a blocked signal mask,
// are not inherited by programs the process starts.
void CleanUpOnEndSignals(PrivilegedHelper& helper);
