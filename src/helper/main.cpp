// camera-setup-helper: started by camera-setup with one end of a SOCK_SEQPACKET socket pair as descriptor 3.
// Answers one request per packet (HelperProtocol.h) and removes everything it added when the socket reaches end of
// file, on a cleanup request and on SIGTERM, SIGHUP and SIGINT.

#include "HelperCore.h"
#include "HelperProtocol.h"
#include "LibcapPrivileges.h"
#include "NetlinkHelperSystem.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace {

void Log(std::string_view line) {
    // One write per line, so that lines of concurrent writers to the same stderr do not interleave.
    const std::string text = std::string(kHelperName) + ": " + std::string(line) + "\n";
    [[maybe_unused]] const ssize_t written = write(STDERR_FILENO, text.data(), text.size());
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
    return getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size) == 0 && domain == AF_UNIX && type == SOCK_SEQPACKET;
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
};

void CloseDescriptors(msghdr& message) {
    for (cmsghdr* control = CMSG_FIRSTHDR(&message); control != nullptr; control = CMSG_NXTHDR(&message, control)) {
        if (control->cmsg_level != SOL_SOCKET || control->cmsg_type != SCM_RIGHTS) {
            continue;
        }
        const size_t count = (control->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < count; ++i) {
            int fd;
            std::memcpy(&fd, CMSG_DATA(control) + i * sizeof(int), sizeof fd);
            close(fd);
        }
    }
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
    if (hasControl) {
        CloseDescriptors(message);
    }
    if (length == 0 && !hasControl) {
        // An empty packet reads as 0 too; only a hang-up is the end.
        pollfd hangUp{fd, POLLIN | POLLRDHUP, 0};
        if (poll(&hangUp, 1, 0) > 0 && (hangUp.revents & (POLLHUP | POLLRDHUP)) != 0) {
            return result;
        }
    }
    result.parse = ParseHelperRequest(std::span<const uint8_t>(data, std::min(length, kHelperMaxRequest)));
    result.kind = Received::Request;
    if (hasControl) {
        result.kind = Received::Refused;
        result.parse.request.reset();
        result.parse.error = "descriptors are not accepted";
    } else if ((message.msg_flags & MSG_TRUNC) != 0 || length > kHelperMaxRequest) {
        result.kind = Received::Refused;
        result.parse.request.reset();
        result.parse.error = "request too long";
    } else if (!result.parse.request) {
        result.kind = Received::Refused;
    }
    return result;
}

// False when the program can no longer be reached or an end signal arrived while waiting to send.
bool Send(int fd, int signals, const std::string& reply, int attached) {
    iovec vector{const_cast<char*>(reply.data()), reply.size()};
    msghdr message{};
    message.msg_iov = &vector;
    message.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    if (attached >= 0) {
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        cmsghdr* header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = SOL_SOCKET;
        header->cmsg_type = SCM_RIGHTS;
        header->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(header), &attached, sizeof attached);
    }
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
    const size_t before = core.Record().Entries().size();
    const size_t removed = core.Cleanup();
    Log(why + ": removed " + std::to_string(removed) + " of " + std::to_string(before) + " entries and routes");
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

    NetlinkHelperSystem system(privileges);
    HelperCore core(system, privileges, Log, CAMERA_SETUP_VERSION);
    while (true) {
        const Wait wait = WaitFor(kHelperSocketFd, POLLIN, signals);
        if (wait == Wait::Signal) {
            signalfd_siginfo info{};
            [[maybe_unused]] const ssize_t read = ::read(signals, &info, sizeof info);
            CleanUp(core, std::string("ended by signal ") + std::to_string(info.ssi_signo));
            return 0;
        }
        const Received received = Receive(kHelperSocketFd);
        if (wait == Wait::Failed || received.kind == Received::EndOfFile) {
            CleanUp(core, "camera-setup is gone");
            return 0;
        }
        if (received.kind == Received::Nothing) {
            continue;
        }
        HelperResponse response;
        if (received.kind == Received::Refused) {
            Log("refused request " + std::to_string(received.parse.token) + ": " + received.parse.error);
            response = {EINVAL, received.parse.error, -1};
        } else {
            response = core.Handle(*received.parse.request);
        }
        const bool sent = Send(kHelperSocketFd, signals,
                               FormatHelperReply(received.parse.token, response.code, response.text), response.fd);
        if (response.fd >= 0) {
            close(response.fd);
        }
        if (!sent) {
            CleanUp(core, "cannot answer camera-setup");
            return 0;
        }
    }
}
