#pragma once

// The device list written out: `camera-setup list --format` and the window's "Export list...". Every column,
// hidden ones included, with the headers the list uses.

#include <optional>
#include <string>
#include <string_view>

#include "DeviceTable.h"

enum class ListFormat { Table, Csv, Json };

std::optional<ListFormat> ParseListFormat(std::string_view text);
std::string FormatDeviceTable(const DeviceTable& table, ListFormat format);
