#pragma once

class InstallWorker;
class PrivilegedHelper;

// The helper removes its neighbour entries and routes however this process ends; Ctrl-C, hang-up and
// termination only have to remove the working files and let the helper finish before the exit status shows.
//
// CleanUpOnEndSignals installs handlers for SIGINT, SIGTERM and SIGHUP once per process. A handler only writes
// the signal number into a pipe; one thread reads it, cleans up after the installation registered at that
// moment (if any), closes the helper's connection, gives it a second to clean up, and ends the process with
// 128 + the signal. Handlers, unlike a blocked signal mask, are not inherited by programs the process starts.
void CleanUpOnEndSignals(PrivilegedHelper& helper);

// While alive, `worker` is the installation that an end signal, or CleanUpRunningInstall, cleans up after.
class RunningInstallScope {
  public:
    explicit RunningInstallScope(InstallWorker& worker);
    ~RunningInstallScope();
    RunningInstallScope(const RunningInstallScope&) = delete;
    RunningInstallScope& operator=(const RunningInstallScope&) = delete;
};

// Cleans up after the registered installation, if one runs; for a process that ends while a worker it does
// not wait for is still busy. Returns whether there was one.
bool CleanUpRunningInstall();
