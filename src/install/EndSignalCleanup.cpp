#include "EndSignalCleanup.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "InstallWorker.h"
#include "PrivilegedHelper.h"

namespace {

std::atomic<InstallWorker*> g_running{nullptr};
int g_signalPipe[2] = {-1, -1};
constexpr int kHelperCleanupMs = 1000;

void OnEndSignal(int signal) {
    const int saved = errno;
    const unsigned char number = static_cast<unsigned char>(signal);
    [[maybe_unused]] const ssize_t written = ::write(g_signalPipe[1], &number, 1);
    errno = saved;
}

}  // namespace

void CleanUpOnEndSignals(PrivilegedHelper& helper) {
    static std::once_flag once;
    std::call_once(once, [&helper] {
        if (::pipe2(g_signalPipe, O_CLOEXEC) != 0) {
            std::perror("camera-setup: signal pipe");
            return;
        }
        std::thread([&helper] {
            unsigned char number = 0;
            ssize_t got = 0;
            do {
                got = ::read(g_signalPipe[0], &number, 1);
            } while (got < 0 && errno == EINTR);
            if (got != 1) {
                return;
            }
            CleanUpRunningInstall();
            helper.Shutdown(kHelperCleanupMs);
            std::fflush(nullptr);
            std::_Exit(128 + number);
        }).detach();
        struct sigaction action {};
        action.sa_handler = OnEndSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
            ::sigaction(signal, &action, nullptr);
        }
    });
}

RunningInstallScope::RunningInstallScope(InstallWorker& worker) {
    g_running = &worker;
}

RunningInstallScope::~RunningInstallScope() {
    g_running = nullptr;
}

bool CleanUpRunningInstall() {
    InstallWorker* worker = g_running.load();
    if (worker == nullptr) {
        return false;
    }
    worker->CleanUp();
    return true;
}
