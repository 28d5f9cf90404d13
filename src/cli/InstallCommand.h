#pragma once

class PrivilegedHelper;

#include <optional>
#include <string>
#include <vector>

#include "InstallOptions.h"

// Nothing, with the reason in *error, for bad arguments.
std::optional<InstallOptions> ParseInstallOptions(const std::vector<std::string>& args, std::string* error);
std::string InstallUsage();

// `camera-setup install MAC --ip ADDR ...`: 0 "Install OK", 1 any other ending, 2 bad arguments or settings.
int RunInstallCommand(const std::vector<std::string>& args, PrivilegedHelper& helper);
