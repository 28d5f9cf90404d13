#include "PrivilegedHelper.h"

#include "DescriptorPassing.h"
#include "HelperProtocol.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

constexpr std::string_view kLibexec = "libexec/camera-setup/";

std::string OwnDirectory() {
    char buffer[4096];
    const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (length <= 0) {
        return {};
    }
    std::string path(buffer, static_cast<size_t>(length));
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

bool Exists(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

void CloseAll(const std::vector<int>& fds) {
    for (int fd : fds) {
        close(fd);
    }
}

// The helper's end of a relay or echo channel: room for a storm's worth of records before it has to wait.
constexpr int kChannelBufferBytes = 1 << 20;

}  // namespace

PrivilegedHelper::~PrivilegedHelper() {
    Shutdown(2000);
}

std::vector<std::string> PrivilegedHelper::Candidates() {
    std::vector<std::string> candidates;
    if (const char* chosen = std::getenv("CAMERA_SETUP_HELPER"); chosen != nullptr && *chosen != '\0') {
        candidates.emplace_back(chosen);
        return candidates;
    }
    const std::string own = OwnDirectory();
    if (!own.empty()) {
        candidates.push_back(own + std::string(kHelperName));
        // ../libexec/camera-setup/ of the executable's directory, spelt without "..".
        const size_t parent = own.rfind('/', own.size() - 2);
        if (parent != std::string::npos) {
            candidates.push_back(own.substr(0, parent + 1) + std::string(kLibexec) + std::string(kHelperName));
        }
    }
    return candidates;
}

PrivilegedHelper::State PrivilegedHelper::Start(const std::string& path) {
    std::lock_guard lock(m_mutex);
    if (m_state != State::NotStarted) {
        return m_state;
    }
    const std::vector<std::string> candidates = path.empty() ? Candidates() : std::vector<std::string>{path};
    for (const std::string& candidate : candidates) {
        m_looked += (m_looked.empty() ? "" : ", ") + candidate;
        if (m_path.empty() && Exists(candidate)) {
            m_path = candidate;
        }
    }
    if (m_path.empty()) {
        m_state = State::Missing;
        m_startError = ENOENT;
        return m_state;
    }

    int pair[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
        m_startError = errno;
        m_state = State::Failed;
        return m_state;
    }
    // The child's end must not already be 3: a dup2 onto itself would keep its close-on-exec flag.
    const int childEnd = fcntl(pair[1], F_DUPFD_CLOEXEC, kHelperSocketFd + 1);
    close(pair[1]);
    if (childEnd < 0) {
        m_startError = errno;
        close(pair[0]);
        m_state = State::Failed;
        return m_state;
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, childEnd, kHelperSocketFd);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    char* argv[] = {m_path.data(), nullptr};
    char* envp[] = {nullptr};  // the helper clears its environment anyway
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, m_path.c_str(), &actions, &attributes, argv, envp);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(childEnd);
    if (spawned != 0) {
        close(pair[0]);
        m_startError = spawned;
        m_state = spawned == EACCES || spawned == EPERM ? State::NotExecutable : State::Failed;
        return m_state;
    }
    m_pid = pid;
    m_fd = pair[0];
    m_state = State::Running;
    HelperRequest hello;
    hello.verb = HelperVerb::Hello;
    const Reply reply = CallLocked(hello, -1, kCallTimeoutMs);
    const std::optional<HelperHello> parsed = reply.code == 0 ? ParseHelperHello(reply.text) : std::nullopt;
    if (!parsed) {
        m_startError = reply.code != 0 ? reply.code : EPROTO;
        m_state = State::Failed;
        return m_state;
    }
    m_netRaw = parsed->netRaw;
    m_netAdmin = parsed->netAdmin;
    return m_state;
}

std::string PrivilegedHelper::Shortfall() const {
    const std::string grant = "sudo setcap cap_net_raw,cap_net_admin+p " + (m_path.empty() ? "HELPER" : m_path);
    const std::string unprivileged =
        "finding cameras by their DHCP requests and installing will not work; the XRM search works.";
    switch (m_state) {
        case State::NotStarted:
        case State::Running:
            break;
        case State::Missing:
            return "camera-setup-helper was not found (looked at " + m_looked + "): " + unprivileged +
                   " Install camera-setup with \"sudo cmake --install build/default\".";
        case State::NotExecutable:
            return "this user may not run " + m_path + " (" + std::strerror(m_startError) + "): " + unprivileged +
                   " Join the group camera-setup (\"sudo usermod -aG camera-setup $USER\") and log in again.";
        case State::Failed:
            return "camera-setup-helper (" + m_path + ") did not start (" + std::strerror(m_startError) +
                   "): " + unprivileged;
    }
    if (m_state != State::Running) {
        return {};
    }
    std::string lacks;
    std::string lost;
    const auto missing = [&](bool held, const char* name, const char* what) {
        if (!held) {
            lacks += std::string(lacks.empty() ? "" : ", ") + name;
            lost += std::string(lost.empty() ? "" : "; ") + what;
        }
    };
    missing(m_netRaw, "CAP_NET_RAW",
            "finding cameras by their DHCP requests; installing (the ARP probe and the echo requests to the camera)");
    missing(m_netAdmin, "CAP_NET_ADMIN", "installing (the way to the camera's new address)");
    if (lacks.empty()) {
        return {};
    }
    return "camera-setup-helper (" + m_path + ") lacks " + lacks + ", so this will not work: " + lost +
           ". Grant it: \"" + grant + "\".";
}

PrivilegedHelper::Reply PrivilegedHelper::NotRunning() const {
    switch (m_state) {
        case State::Missing:
            return {ENOENT, "camera-setup-helper was not found"};
        case State::NotExecutable:
            return {EACCES, "this user may not run " + m_path};
        default:
            return {EPIPE, "camera-setup-helper is not running"};
    }
}

PrivilegedHelper::Reply PrivilegedHelper::Call(HelperRequest request, int timeoutMs) {
    std::lock_guard lock(m_mutex);
    return CallLocked(request, -1, timeoutMs);
}

PrivilegedHelper::Reply PrivilegedHelper::CallWith(HelperRequest request, int fd, int timeoutMs) {
    std::lock_guard lock(m_mutex);
    return CallLocked(request, fd, timeoutMs);
}

PrivilegedHelper::Reply PrivilegedHelper::OpenChannel(HelperRequest request, int* fd) {
    *fd = -1;
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
        return {errno, std::string("socketpair: ") + std::strerror(errno)};
    }
    // Within net.core.wmem_max, as any socket of this user may have; the helper raises it no further.
    const int bytes = kChannelBufferBytes;
    setsockopt(pair[1], SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
    const Reply reply = CallWith(std::move(request), pair[1]);
    close(pair[1]);
    if (reply.code != 0) {
        close(pair[0]);
        return reply;
    }
    *fd = pair[0];
    return reply;
}

PrivilegedHelper::Reply PrivilegedHelper::CallLocked(HelperRequest request, int attachedFd, int timeoutMs) {
    const int fd = m_fd;
    if (m_state != State::Running || fd < 0) {
        return NotRunning();
    }
    request.token = m_nextToken++;
    if (m_nextToken == 0) {
        m_nextToken = 1;
    }
    const std::string packet = FormatHelperRequest(request);
    const auto* bytes = reinterpret_cast<const uint8_t*>(packet.data());
    if (SendWithDescriptor(fd, std::span(bytes, packet.size()), attachedFd, MSG_NOSIGNAL) < 0) {
        return {errno == EPIPE || errno == ECONNRESET ? EPIPE : errno, "camera-setup-helper has ended"};
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd waiting{fd, POLLIN, 0};
        const int ready = left.count() > 0 ? poll(&waiting, 1, static_cast<int>(left.count())) : 0;
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return {ETIMEDOUT, "camera-setup-helper did not answer"};
        }
        uint8_t bytes[kHelperMaxReply + 1];
        const ReceivedPacket received = ReceiveWithDescriptors(fd, bytes, 0);
        if (received.length <= 0) {
            return {EPIPE, "camera-setup-helper has ended"};
        }
        if (!received.fds.empty()) {
            CloseAll(received.fds);
            return {EPROTO, "camera-setup-helper sent a descriptor"};
        }
        const std::optional<HelperReply> reply =
            (received.flags & MSG_TRUNC) != 0
                ? std::nullopt
                : ParseHelperReply(std::span<const uint8_t>(bytes, static_cast<size_t>(received.length)));
        if (!reply) {
            return {EPROTO, "camera-setup-helper sent a reply that is not one"};
        }
        if (reply->token != request.token) {
            continue;  // the late reply to a call that timed out
        }
        return {reply->code, reply->text};
    }
}

void PrivilegedHelper::Shutdown(int waitMs) {
    const int fd = m_fd.exchange(-1);
    if (fd >= 0) {
        // shutdown wakes a thread that waits in Call; the descriptor itself is closed with the process or below.
        ::shutdown(fd, SHUT_RDWR);
        std::unique_lock lock(m_mutex, std::try_to_lock);
        if (lock.owns_lock()) {
            close(fd);
        }
    }
    Reap(waitMs);
}

void PrivilegedHelper::Reap(int waitMs) {
    const pid_t pid = m_pid.exchange(-1);
    if (pid <= 0) {
        return;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
        const pid_t ended = waitpid(pid, nullptr, WNOHANG);
        if (ended == pid || (ended < 0 && errno != EINTR)) {
            return;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return;  // it ends on its own once it has cleaned up
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

std::string DescribeHelperFailure(const std::string& what, const PrivilegedHelper::Reply& reply) {
    return what + ": " + reply.text + " (" + std::to_string(reply.code) + ")";
}
