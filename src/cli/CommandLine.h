#pragma once

#include <QCommandLineParser>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "DottedAddress.h"  // ParseWholeNumber

// The longest search a command accepts, in seconds.
inline constexpr int kMaxSearchSeconds = 24 * 60 * 60;

// One option of a command: a flag when `valueName` is empty, else it takes a value ("--x value" or "--x=value").
struct CommandOption {
    const char* name;
    const char* valueName = "";
};

// Parses `args` (without program and command name) with `options` plus -h/--help into `parser`; false, with the
// reason in *error, for an unknown option or a missing value. Positional arguments are left to the command.
bool ParseCommandLine(QCommandLineParser& parser, const std::vector<CommandOption>& options,
                      const std::vector<std::string>& args, std::string* error);

// The option's last value (UTF-8), or nothing when it was not given.
std::optional<std::string> OptionValue(const QCommandLineParser& parser, const char* name);
