#pragma once

class PrivilegedHelper;

#include "DeviceListFormat.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct ListOptions {
    int seconds = 5;
    ListFormat format = ListFormat::Table;
    bool help = false;
};

// Parses the arguments of `list`; nothing (with the reason in *error) for bad arguments.
std::optional<ListOptions> ParseListOptions(const std::vector<std::string>& args, std::string* error);
std::string_view ListUsage();

// `camera-setup list`: runs discovery for the given time on a Qt event loop, then prints the table.
int RunListCommand(const std::vector<std::string>& args, PrivilegedHelper& helper);
