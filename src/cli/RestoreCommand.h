#pragma once

class PrivilegedHelper;

#include <optional>
#include <string>
#include <vector>

#include "InstallOptions.h"

struct RestoreOptions {
    InstallOptions install;  // mac, ip (nothing: the address before, from the record), ftp port/password, seconds
    std::optional<std::string> from;  // a file to upload instead of the latest kept one
    bool help = false;
};

// Nothing, with the reason in *error, for bad arguments.
std::optional<RestoreOptions> ParseRestoreOptions(const std::vector<std::string>& args, std::string* error);

// `camera-setup restore MAC [--ip ADDR] [--from FILE]`: exit status as `install`'s.
int RunRestoreCommand(const std::vector<std::string>& args, PrivilegedHelper& helper);
