#pragma once

#include <string>
#include <string_view>
#include <vector>

class PrivilegedHelper;

// One headless command: its name and its entry point (the usage texts are in usage/*.txt).
// `args` excludes the program and the command name; `helper` is started by the command when it needs it. Return value:
// the process exit status.
struct HeadlessCommand {
    std::string_view name;
    int (*run)(const std::vector<std::string>& args, PrivilegedHelper& helper);
};

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;
