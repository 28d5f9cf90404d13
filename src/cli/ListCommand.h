#pragma once

class PrivilegedHelper;

#include "DeviceTable.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

enum class ListFormat { Table, Csv, Json };

struct ListOptions {
    int seconds = 5;
    ListFormat format = ListFormat::Table;
    bool help = false;
};

// Parses the arguments of `list`; nothing (with the reason in *error) for bad arguments.
std::optional<ListOptions> ParseListOptions(const std::vector<std::string>& args, std::string* error);
std::string_view ListUsage();

// The device table as the chosen format prints it (stdout text).
std::string FormatDeviceTable(const DeviceTable& table, ListFormat format);

// `camera-setup list`: runs discovery for the given time on a Qt event loop, then prints the table.
int RunListCommand(const std::vector<std::string>& args, PrivilegedHelper& helper);
