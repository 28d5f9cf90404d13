// camera-setup-helper: started by camera-setup with one end of a SOCK_SEQPACKET socket pair as descriptor 3.
// Answers one request per packet (HelperProtocol.h), relays through the sockets the program attached, and removes
// everything it added when the socket reaches end of file, on a cleanup request and on SIGTERM, SIGHUP and SIGINT.
// What a killed helper left is removed by the next one that starts, and by install-begin: everything tagged with
// a token whose helper no longer runs (HelperLiveness).

#include "HelperCore.h"
#include "HelperLiveness.h"
#include "HelperProtocol.h"
#include "HelperRelay.h"
#include "LibcapPrivileges.h"
#include "NetlinkHelperSystem.h"
#include "RtNetlink.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

void Log(std::string_view line) {
    // One write per line, so that lines of concurrent writers to the same stderr do not interleave.
    const std::string text = std::string(kHelperName) + ": " + std::string(line) + "\n";
    [[maybe_unused]] const ssize_t written = write(STDERR_FILENO, text.data(), text.size());
    // The caller may throw its stderr away; the system log keeps who changed what.
    const std::string entry(line);
    syslog(LOG_NOTICE, "uid=%u: %s", static_cast<unsigned>(getuid()), entry.c_str());
}

// A closed standard descriptor would otherwise be reused by the next socket, and the log would go into it.
void OpenStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF && open("/dev/null", O_RDWR) != fd) {
            std::_Exit(2);
        }
    }
}

bool IsSeqPacketPair(int fd) {
    int domain = 0;
    int type = 0;
    socklen_t size = sizeof domain;
    if (getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &size) != 0) {
        return false;
    }
    size = sizeof type;
    if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size) != 0 || domain != AF_UNIX || type != SOCK_SEQPACKET) {
        return false;
    }
    // A listening socket never reads as ready, so a helper given one would wait forever holding its
    // capabilities: a mark of life anyone could make for a name of their choosing.
    int listening = 0;
    size = sizeof listening;
    return getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) == 0 && listening == 0;
}

enum class Wait { Ready, Signal, Failed };

// Waits until fd is ready for events or an end signal is pending.
Wait WaitFor(int fd, short events, int signals) {
    pollfd fds[2] = {{fd, events, 0}, {signals, POLLIN, 0}};
    while (poll(fds, 2, -1) < 0) {
        if (errno != EINTR) {
            return Wait::Failed;
        }
    }
    if ((fds[1].revents & POLLIN) != 0) {
        return Wait::Signal;
    }
    return Wait::Ready;
}

struct Received {
    enum { Request, Refused, Nothing, EndOfFile } kind = EndOfFile;
    HelperRequestParse parse;
    int code = EINVAL;  // of a refusal
    int channel = -1;   // the one descriptor of a verb that takes one
};

std::vector<int> Descriptors(msghdr& message) {
    std::vector<int> fds;
    for (cmsghdr* control = CMSG_FIRSTHDR(&message); control != nullptr; control = CMSG_NXTHDR(&message, control)) {
        if (control->cmsg_level != SOL_SOCKET || control->cmsg_type != SCM_RIGHTS) {
            continue;
        }
        const size_t count = (control->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < count; ++i) {
            int fd;
            std::memcpy(&fd, CMSG_DATA(control) + i * sizeof(int), sizeof fd);
            fds.push_back(fd);
        }
    }
    return fds;
}

Received Receive(int fd) {
    uint8_t data[kHelperMaxRequest + 1];
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 8)];
    iovec vector{data, sizeof data};
    msghdr message{};
    message.msg_iov = &vector;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t received;
    do {
        received = recvmsg(fd, &message, MSG_CMSG_CLOEXEC | MSG_DONTWAIT);
    } while (received < 0 && errno == EINTR);
    Received result;
    if (received < 0) {
        if (errno == EAGAIN) {
            result.kind = Received::Nothing;
        }
        return result;  // any other failure: the program is gone
    }
    const size_t length = static_cast<size_t>(received);
    const bool hasControl = message.msg_controllen > 0 || (message.msg_flags & MSG_CTRUNC) != 0;
    std::vector<int> fds = hasControl ? Descriptors(message) : std::vector<int>{};
    if (length == 0 && !hasControl) {
        // An empty packet reads as 0 too; only a hang-up is the end.
        pollfd hangUp{fd, POLLIN | POLLRDHUP, 0};
        if (poll(&hangUp, 1, 0) > 0 && (hangUp.revents & (POLLHUP | POLLRDHUP)) != 0) {
            return result;
        }
    }
    result.parse = ParseHelperRequest(std::span<const uint8_t>(data, std::min(length, kHelperMaxRequest)));
    result.kind = Received::Request;
    const bool wantsOne = result.parse.request && HelperVerbTakesDescriptor(result.parse.request->verb);
    if (wantsOne && fds.size() == 1 && (message.msg_flags & MSG_CTRUNC) == 0 && IsSeqPacketPair(fds[0])) {
        result.channel = fds[0];
        fds.clear();
    } else if (hasControl) {
        result.kind = Received::Refused;
        result.code = EBADF;
        result.parse.request.reset();
        result.parse.error = wantsOne ? "exactly one AF_UNIX SOCK_SEQPACKET socket must be attached"
                                      : "descriptors are not accepted with this request";
    }
    for (const int fd : fds) {
        close(fd);
    }
    if (result.kind == Received::Refused) {
        return result;
    }
    if ((message.msg_flags & MSG_TRUNC) != 0 || length > kHelperMaxRequest) {
        result.kind = Received::Refused;
        result.parse.request.reset();
        result.parse.error = "request too long";
    } else if (!result.parse.request) {
        result.kind = Received::Refused;
    }
    return result;
}

// False when the program can no longer be reached or an end signal arrived while waiting to send. Nothing but the
// reply text ever goes out: no descriptor leaves the helper.
bool Send(int fd, int signals, const std::string& reply) {
    iovec vector{const_cast<char*>(reply.data()), reply.size()};
    msghdr message{};
    message.msg_iov = &vector;
    message.msg_iovlen = 1;
    while (sendmsg(fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT) < 0) {
        if (errno == EINTR) {
            continue;
        }
        if (errno != EAGAIN || WaitFor(fd, POLLOUT, signals) != Wait::Ready) {
            return false;
        }
    }
    return true;
}

int EndSignals(sigset_t& set) {
    sigemptyset(&set);
    for (const int signal : {SIGTERM, SIGHUP, SIGINT}) {
        sigaddset(&set, signal);
    }
    if (sigprocmask(SIG_BLOCK, &set, nullptr) != 0) {
        return -1;
    }
    return signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
}

void CleanUp(HelperCore& core, const std::string& why) {
    const size_t before = core.Installs();
    const size_t failed = core.Cleanup();
    Log(why + ": ended " + std::to_string(before - failed) + " of " + std::to_string(before) + " installations");
}

// Removes what helpers that no longer run left (any user's: their tokens have no live socket), and the tagged
// neighbour entries of older helpers.
void SweepAtStart(NetlinkHelperSystem& system) {
    size_t failed = 0;
    size_t removed = system.SweepDead(failed);
    size_t neighboursFailed = 0;
    removed += system.SweepTaggedNeighbours(neighboursFailed);
    failed += neighboursFailed;
    if (removed > 0 || failed > 0) {
        Log("removed " + std::to_string(removed) + " routes, rules and entries that helpers no longer running left" +
            (failed > 0 ? "; " + std::to_string(failed) + " could not be removed" : ""));
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::string_view(argv[1]) == "--version") {
        std::printf("%s %s\n", kHelperName.data(), CAMERA_SETUP_VERSION);
        return 0;
    }
    OpenStandardDescriptors();
    clearenv();
    if (close_range(kHelperSocketFd + 1, ~0U, 0) != 0) {
        Log(std::string("cannot close inherited descriptors: ") + std::strerror(errno));
        return 2;
    }
    if (argc != 1) {
        Log("takes no arguments besides --version; camera-setup starts it");
        return 2;
    }
    if (!IsSeqPacketPair(kHelperSocketFd)) {
        Log("descriptor 3 is not an AF_UNIX SOCK_SEQPACKET socket; camera-setup starts this program");
        return 2;
    }
    LibcapPrivileges privileges;
    std::string error;
    if (!privileges.Restrict(error)) {
        Log("cannot restrict its capabilities: " + error);
        return 1;
    }
    prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
    std::signal(SIGPIPE, SIG_IGN);
    sigset_t endSignals;
    const int signals = EndSignals(endSignals);
    if (signals < 0) {
        Log(std::string("cannot watch for end signals: ") + std::strerror(errno));
        return 1;
    }

    openlog(kHelperName.data(), LOG_PID, LOG_AUTHPRIV);
    // Opened now, with CAP_NET_ADMIN (the kernel checks the opener too), so that cleanup never needs a descriptor
    // that a descriptor limit could refuse.
    int netlink;
    {
        RaisedCapability raised(privileges, HelperCapability::NetAdmin);
        netlink = NetlinkOpen();
    }
    if (netlink < 0) {
        Log(std::string("cannot open a netlink socket: ") + std::strerror(errno));
        return 1;
    }
    NetlinkKeepSocket(netlink);
    HelperLiveness liveness;
    if (!liveness.Open(error)) {
        Log("cannot make its mark of life: " + error);
        return 1;
    }
    NetlinkHelperSystem system(privileges, liveness.Token());
    if (privileges.Holds(HelperCapability::NetAdmin)) {
        SweepAtStart(system);
    }
    const auto now = [] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    };
    HelperRelay relay(
        privileges, Log, [&system] { return system.LocalAddresses(); }, now);
    system.ServeWhileWaiting([&relay] { return relay.PollSet(); },
                             [&relay](const pollfd& ready) { relay.Ready(ready); });
    HelperCore core(system, relay, privileges, Log, CAMERA_SETUP_VERSION, getuid(), now);
    int64_t lastDropReport = 0;
    while (true) {
        std::vector<pollfd> fds = {{kHelperSocketFd, POLLIN, 0}, {signals, POLLIN, 0}, {liveness.Fd(), POLLIN, 0}};
        const std::vector<pollfd> relays = relay.PollSet();
        fds.insert(fds.end(), relays.begin(), relays.end());
        const std::vector<pollfd> probes = system.PollSet();
        fds.insert(fds.end(), probes.begin(), probes.end());
        // Drops are reported at most once a second, so a storm cannot flood the log.
        int timeout = relay.HasDrops() ? 1000 : -1;
        if (const int due = system.TimeoutMs(); due >= 0) {
            timeout = timeout < 0 ? due : std::min(timeout, due);
        }
        if (poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) {
            CleanUp(core, std::string("cannot wait: ") + std::strerror(errno));
            return 0;
        }
        if (relay.HasDrops() && now() - lastDropReport >= 1000) {
            relay.ReportDrops();
            lastDropReport = now();
        }
        if ((fds[1].revents & POLLIN) != 0) {
            signalfd_siginfo info{};
            [[maybe_unused]] const ssize_t read = ::read(signals, &info, sizeof info);
            CleanUp(core, std::string("ended by signal ") + std::to_string(info.ssi_signo));
            return 0;
        }
        if (fds[2].revents != 0) {
            liveness.AcceptAll();
        }
        for (size_t i = 3; i < fds.size(); ++i) {
            if (fds[i].revents != 0) {
                (i < 3 + relays.size() ? relay.Ready(fds[i]) : system.Ready(fds[i]));
            }
        }
        system.SendDueProbes();
        if (fds[0].revents == 0) {
            continue;
        }
        const Received received = Receive(kHelperSocketFd);
        if (received.kind == Received::EndOfFile) {
            CleanUp(core, "camera-setup is gone");
            return 0;
        }
        if (received.kind == Received::Nothing) {
            continue;
        }
        HelperResponse response;
        if (received.kind == Received::Refused) {
            Log("refused request " + std::to_string(received.parse.token) + ": " + received.parse.error);
            response = {received.code, received.parse.error};
        } else {
            response = core.Handle(*received.parse.request, received.channel);
            if (response.code != 0 && received.channel >= 0) {
                close(received.channel);
            }
        }
        if (!Send(kHelperSocketFd, signals, FormatHelperReply(received.parse.token, response.code, response.text))) {
            CleanUp(core, "cannot answer camera-setup");
            return 0;
        }
    }
}
