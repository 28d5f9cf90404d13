#pragma once

#include <string_view>

class PrivilegedHelper;

// The headless commands ("camera-setup list ...", later "install"). argv[0] is the program, argv[1] the
// command. Returns the process exit status: 0 done, 1 the command could not do its work, 2 bad arguments.
// `helper` is not started yet; each command starts it once its arguments are good.
int RunHeadless(int argc, char** argv, PrivilegedHelper& helper);

// Starts the helper for `command` and, when it cannot do everything, says so in one line on stderr.
void StartHelperFor(PrivilegedHelper& helper, std::string_view command);
