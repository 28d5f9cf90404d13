#include "Headless.h"

#include "BatchCommand.h"
#include "CameraDiscovery.h"
#include "EndSignalCleanup.h"
#include "FileTransfer.h"
#include "HeadlessCommand.h"
#include "InstallCommand.h"
#include "ListCommand.h"
#include "PrivilegedHelper.h"
#include "ReportCommand.h"
#include "RestoreCommand.h"
#include "UsageText.h"

#include <QCoreApplication>
#include <QGuiApplication>

#include <array>
#include <cstdio>
#include <memory>
#include <string>

namespace {

// One entry per command; each lives in its own file.
constexpr std::array kCommands{
    HeadlessCommand{"list", &RunListCommand},     HeadlessCommand{"install", &RunInstallCommand},
    HeadlessCommand{"batch", &RunBatchCommand},   HeadlessCommand{"restore", &RunRestoreCommand},
    HeadlessCommand{"report", &RunReportCommand},
};

void PrintUsage(FILE* out) {
    std::fwrite(UsageText::kMain.data(), 1, UsageText::kMain.size(), out);
}

// While it starts, Qt looks for a desktop session's socket in the runtime directory and warns when there is none
// (sudo, cron, ssh): the offscreen report needs no session, so that one warning is not passed on.
QtMessageHandler g_passOn = nullptr;

void WithoutRuntimeDirectoryWarning(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (!message.startsWith(QLatin1String("QStandardPaths: XDG_RUNTIME_DIR not set"))) {
        g_passOn(type, context, message);
    }
}

std::unique_ptr<QCoreApplication> OffscreenGuiApplication(char* program) {
    // The PDF is laid out with fonts, which need a GUI application; no display is needed.
    static int argc = 3;
    static char platform[] = "-platform";
    static char offscreen[] = "offscreen";
    static char* argv[] = {program, platform, offscreen, nullptr};
    g_passOn = qInstallMessageHandler(WithoutRuntimeDirectoryWarning);
    auto app = std::make_unique<QGuiApplication>(argc, argv);
    qInstallMessageHandler(g_passOn);
    return app;
}

}  // namespace

void StartHelperFor(PrivilegedHelper& helper, std::string_view command) {
    helper.Start();
    if (const std::string shortfall = helper.Shortfall(); !shortfall.empty()) {
        std::fprintf(stderr, "camera-setup %.*s: %s\n", static_cast<int>(command.size()), command.data(),
                     shortfall.c_str());
    }
}

void PrepareToInstall(PrivilegedHelper& helper, std::string_view command) {
    InitFileTransferLibrary();
    StartHelperFor(helper, command);
    CleanUpOnEndSignals(helper);
}

bool StartCameraSearch(CameraDiscovery& discovery, std::string_view command) {
    if (!discovery.Start().AnyPath()) {
        std::fprintf(stderr,
                     "camera-setup %.*s: no search could start (ports 67/68 need camera-setup-helper; the XRM search "
                     "failed too)\n",
                     static_cast<int>(command.size()), command.data());
        return false;
    }
    discovery.Search();
    return true;
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
                if (name == "report") {
                    app = OffscreenGuiApplication(argv[0]);
                } else {
                    app = std::make_unique<QCoreApplication>(appArgc, appArgv);
                }
            }
            return command.run(std::vector<std::string>(argv + 2, argv + argc), helper);
        }
    }
    std::fprintf(stderr, "camera-setup: unknown command \"%s\"\n\n", name.c_str());
    PrintUsage(stderr);
    return kExitUsage;
}
