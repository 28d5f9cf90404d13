#pragma once

class PrivilegedHelper;

#include <optional>
#include <string>
#include <vector>

#include "DeviceTable.h"
#include "Diagnostics.h"
#include "InstallOptions.h"
#include "InstallWorker.h"

// Nothing, with the reason in *error, for bad arguments.
std::optional<InstallOptions> ParseInstallOptions(const std::vector<std::string>& args, std::string* error);
std::string InstallUsage();

// `camera-setup install MAC --ip ADDR ...`: 0 "Install OK", 1 any other ending, 2 bad arguments or settings.
int RunInstallCommand(const std::vector<std::string>& args, PrivilegedHelper& helper);

// Installs (or, with `restore`, restores) target on a worker thread while the event loop serves the device table;
// progress on stdout, the server settings asked for as `options` and the terminal say.
InstallOutcome RunInstallSession(const InstallParams& params, const InstallOptions& options, const CameraRecord& target,
                                 DeviceTable& table, StdDiagnostics& diagnostics, PrivilegedHelper& helper,
                                 const std::optional<InstallWorker::Restore>& restore);
