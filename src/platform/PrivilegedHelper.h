#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

struct HelperRequest;  // HelperProtocol.h: the helper's protocol stays inside platform/

// The program's side of camera-setup-helper, the small separate process that holds the capabilities: it relays
// what arrives on the DHCP ports and the camera's ARP packets, sends echo requests on the program's behalf, and
// prepares the way to a camera being installed after its own checks; it removes what it added once its socket
// closes, however this process ends. Descriptors only ever go to the helper, never come back. One object per
// process, started once; calls are safe from any thread and are answered in order.
class PrivilegedHelper {
  public:
    enum class State { NotStarted, Missing, NotExecutable, Failed, Running };

    struct Reply {
        int code = 0;      // 0 or a positive errno value
        std::string text;  // the helper's result or reason, or why it could not be asked
    };

    PrivilegedHelper() = default;
    // Closes the socket (the helper then removes what it added) and waits briefly for the helper to end.
    ~PrivilegedHelper();
    PrivilegedHelper(const PrivilegedHelper&) = delete;
    PrivilegedHelper& operator=(const PrivilegedHelper&) = delete;

    // Where to look, in order: $CAMERA_SETUP_HELPER, beside this executable, ../libexec/camera-setup/.
    static std::vector<std::string> Candidates();

    // Runs the first candidate that exists (or `path` when given) and asks hello. Once only.
    State Start(const std::string& path = {});

    State GetState() const { return m_state; }
    const std::string& Path() const { return m_path; }

    // What will not work with this helper and how to fix it, as one line; empty when nothing is missing.
    std::string Shortfall() const;

    // Sends the request (its token is filled in here) and waits for the reply. A helper that is not running
    // answers ENOENT (missing), EACCES (not executable) or EPIPE (ended); one that is silent for `timeoutMs`,
    // ETIMEDOUT.
    Reply Call(HelperRequest request, int timeoutMs = kCallTimeoutMs);
    // The same with `fd` attached (SCM_RIGHTS); the helper gets its own copy, the caller keeps `fd`.
    Reply CallWith(HelperRequest request, int fd, int timeoutMs = kCallTimeoutMs);
    // Creates a SOCK_SEQPACKET pair and hands one end over with the request. On success *fd is the other end
    // (close-on-exec, the caller owns it); otherwise *fd is -1.
    Reply OpenChannel(HelperRequest request, int* fd);

    // For an ending process (any thread, even while another thread waits for a reply): closes the connection
    // and gives the helper up to `waitMs` to remove what it added and exit.
    void Shutdown(int waitMs);

    static constexpr int kCallTimeoutMs = 5000;

  private:
    Reply CallLocked(HelperRequest request, int attachedFd, int timeoutMs);
    Reply NotRunning() const;
    void Reap(int waitMs);

    std::mutex m_mutex;
    State m_state = State::NotStarted;
    int m_startError = 0;
    std::string m_path;
    std::string m_looked;  // the candidates, for the message when none exists
    bool m_netRaw = false;
    bool m_netAdmin = false;
    std::atomic<int> m_fd{-1};
    std::atomic<pid_t> m_pid{-1};
    uint32_t m_nextToken = 1;
};

// The message of a call that could not be done, "what: text (code)".
std::string DescribeHelperFailure(const std::string& what, const PrivilegedHelper::Reply& reply);
