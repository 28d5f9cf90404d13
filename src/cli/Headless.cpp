#include "Headless.h"

#include "HeadlessCommand.h"
#include "InstallCommand.h"
#include "ListCommand.h"
#include "PrivilegedHelper.h"

#include <QCoreApplication>

#include <array>
#include <cstdio>
#include <memory>
#include <string>

namespace {

// One entry per command; each lives in its own file.
constexpr std::array kCommands{
    HeadlessCommand{"list", "find cameras for a while, then print them", &RunListCommand},
    HeadlessCommand{"install", "give one camera its address and settings", &RunInstallCommand},
};

void PrintUsage(FILE* out) {
    std::fprintf(out,
                 "Usage: camera-setup                 start the window\n"
                 "       camera-setup COMMAND [OPTIONS]\n"
                 "       camera-setup --help | --version\n\nCommands:\n");
    for (const HeadlessCommand& command : kCommands) {
        std::fprintf(out, "  %-10.*s %.*s\n", static_cast<int>(command.name.size()), command.name.data(),
                     static_cast<int>(command.summary.size()), command.summary.data());
    }
    std::fprintf(out, "\n\"camera-setup COMMAND --help\" describes a command's options.\n");
}

}  // namespace

void StartHelperFor(PrivilegedHelper& helper, std::string_view command) {
    helper.Start();
    if (const std::string shortfall = helper.Shortfall(); !shortfall.empty()) {
        std::fprintf(stderr, "camera-setup %.*s: %s\n", static_cast<int>(command.size()), command.data(),
                     shortfall.c_str());
    }
}

int RunHeadless(int argc, char** argv, PrivilegedHelper& helper) {
    if (argc < 2) {
        PrintUsage(stderr);
        return kExitUsage;
    }
    const std::string name = argv[1];
    if (name == "--help" || name == "-h") {
        PrintUsage(stdout);
        return kExitOk;
    }
    if (name == "--version") {
        std::printf("camera-setup %s\n", CAMERA_SETUP_VERSION);
        return kExitOk;
    }
    for (const HeadlessCommand& command : kCommands) {
        if (name == command.name) {
            // The commands run the same engine as the window, on a Qt event loop.
            std::unique_ptr<QCoreApplication> app;
            if (QCoreApplication::instance() == nullptr) {
                static int appArgc = 1;
                static char* appArgv[] = {argv[0], nullptr};
                app = std::make_unique<QCoreApplication>(appArgc, appArgv);
            }
            return command.run(std::vector<std::string>(argv + 2, argv + argc), helper);
        }
    }
    std::fprintf(stderr, "camera-setup: unknown command \"%s\"\n\n", name.c_str());
    PrintUsage(stderr);
    return kExitUsage;
}
