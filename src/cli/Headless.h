#pragma once

#include <string_view>

class CameraDiscovery;
class PrivilegedHelper;

// The headless commands ("camera-setup list ...", later "install"). argv[0] is the program, argv[1] the
// command. Returns the process exit status: 0 done, 1 the command could not do its work, 2 bad arguments.
// `helper` is not started yet; each command starts it once its arguments are good.
int RunHeadless(int argc, char** argv, PrivilegedHelper& helper);

// Starts the helper for `command` and, when it cannot do everything, says so in one line on stderr.
void StartHelperFor(PrivilegedHelper& helper, std::string_view command);

// What the installing commands do first: the FTP library readied before any thread starts, the helper started
// for `command`, and what an installation has changed undone on an end signal.
void PrepareToInstall(PrivilegedHelper& helper, std::string_view command);

// Starts the search and asks once; false, said in one line on stderr, when no search could start.
bool StartCameraSearch(CameraDiscovery& discovery, std::string_view command);
