#include "EndSignalCleanup.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <utility>

#include "PrivilegedHelper.h"

namespace {

int g_signalPipe[2] = {-1, -1};
constexpr int kHelperCleanupMs = 1000;

constexpr unsigned char kQuit = 0;  // no signal has this number

std::mutex g_firstMutex;
std::function<void(int)> g_first;

// The handler for this signal, taken so that only the first signal goes to it.
std::function<void(int)> TakeFirstHandler() {
    std::lock_guard lock(g_firstMutex);
    return std::exchange(g_first, nullptr);
}

void OnEndSignal(int signal) {
    const int saved = errno;
    const unsigned char number = static_cast<unsigned char>(signal);
    [[maybe_unused]] const ssize_t written = ::write(g_signalPipe[1], &number, 1);
    errno = saved;
}

// The thread that waits for a signal; told to quit, and joined, when the process exits normally.
class Watcher {
  public:
    explicit Watcher(PrivilegedHelper& helper) : m_thread([&helper] { Watch(helper); }) {}
    ~Watcher() {
        [[maybe_unused]] const ssize_t written = ::write(g_signalPipe[1], &kQuit, 1);
        m_thread.join();
    }

  private:
    static void Watch(PrivilegedHelper& helper) {
        unsigned char number = 0;
        for (;;) {
            ssize_t got = 0;
            do {
                got = ::read(g_signalPipe[0], &number, 1);
            } while (got < 0 && errno == EINTR);
            if (got != 1 || number == kQuit) {
                return;
            }
            const std::function<void(int)> first = TakeFirstHandler();
            if (!first) {
                break;
            }
            first(number);
        }
        helper.Shutdown(kHelperCleanupMs);
        std::fflush(nullptr);
        std::_Exit(128 + number);
    }

    std::thread m_thread;
};

}  // namespace

void CleanUpOnEndSignals(PrivilegedHelper& helper) {
    static std::once_flag once;
    std::call_once(once, [&helper] {
        if (::pipe2(g_signalPipe, O_CLOEXEC) != 0) {
            std::perror("camera-setup: signal pipe");
            return;
        }
        static Watcher watcher(helper);
        struct sigaction action {};
        action.sa_handler = OnEndSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
            ::sigaction(signal, &action, nullptr);
        }
    });
}

void SetFirstEndSignalHandler(std::function<void(int signal)> stop) {
    std::lock_guard lock(g_firstMutex);
    g_first = std::move(stop);
}
