#include "HelperServer.h"

#include "DescriptorPassing.h"
#include "HelperProtocol.h"

#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace {

enum Fixed : size_t { kProgram, kSignals, kLiveness, kFixed };

enum class Readiness { Ready, Signal, Failed };

// Waits until fd is ready for events or an end signal is pending.
Readiness WaitFor(int fd, short events, int signals) {
    pollfd fds[2] = {{fd, events, 0}, {signals, POLLIN, 0}};
    while (poll(fds, 2, -1) < 0) {
        if (errno != EINTR) {
            return Readiness::Failed;
        }
    }
    if ((fds[1].revents & POLLIN) != 0) {
        return Readiness::Signal;
    }
    return Readiness::Ready;
}

struct Received {
    enum { Request, Refused, Nothing, EndOfFile } kind = EndOfFile;
    HelperRequestParse parse;
    int code = EINVAL;  // of a refusal
    int channel = -1;   // the one descriptor of a verb that takes one
};

Received Receive(int fd) {
    uint8_t data[kHelperMaxRequest + 1];
    ReceivedPacket packet = ReceiveWithDescriptors(fd, data, MSG_DONTWAIT);
    Received result;
    if (packet.length < 0) {
        if (errno == EAGAIN) {
            result.kind = Received::Nothing;
        }
        return result;  // any other failure: the program is gone
    }
    const size_t length = static_cast<size_t>(packet.length);
    const bool hasControl = packet.control;
    std::vector<int>& fds = packet.fds;
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
    if (wantsOne && fds.size() == 1 && (packet.flags & MSG_CTRUNC) == 0 && IsSeqPacketPair(fds[0])) {
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
    if ((packet.flags & MSG_TRUNC) != 0 || length > kHelperMaxRequest) {
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
    const auto* bytes = reinterpret_cast<const uint8_t*>(reply.data());
    while (SendWithDescriptor(fd, std::span(bytes, reply.size()), -1, MSG_NOSIGNAL | MSG_DONTWAIT) < 0) {
        if (errno == EINTR) {
            continue;
        }
        if (errno != EAGAIN || WaitFor(fd, POLLOUT, signals) != Readiness::Ready) {
            return false;
        }
    }
    return true;
}

}  // namespace

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

HelperServer::HelperServer(HelperCore& core, HelperRelay& relay, NetlinkHelperSystem& system, HelperLiveness& liveness,
                           HelperLog& log, int signals)
    : m_core(core), m_relay(relay), m_system(system), m_liveness(liveness), m_log(log), m_signals(signals) {}

int HelperServer::Run() {
    while (true) {
        if (!Wait()) {
            return End(std::string("cannot wait: ") + std::strerror(errno));
        }
        if ((m_fds[kSignals].revents & POLLIN) != 0) {
            signalfd_siginfo info{};
            [[maybe_unused]] const ssize_t read = ::read(m_signals, &info, sizeof info);
            return End(std::string("ended by signal ") + std::to_string(info.ssi_signo));
        }
        RelayReady();
        if (m_fds[kProgram].revents != 0 && ReadRequest() == Step::End) {
            return 0;
        }
    }
}

bool HelperServer::Wait() {
    m_fds = {{kHelperSocketFd, POLLIN, 0}, {m_signals, POLLIN, 0}, {m_liveness.Fd(), POLLIN, 0}};
    const std::vector<pollfd> relays = m_relay.PollSet();
    m_relays = relays.size();
    m_fds.insert(m_fds.end(), relays.begin(), relays.end());
    const std::vector<pollfd> probes = m_system.PollSet();
    m_fds.insert(m_fds.end(), probes.begin(), probes.end());
    // Woken for what is due: drops and refusals are summed up at most once a second, probes go on schedule.
    int64_t timeout = m_relay.HasDrops() ? 1000 : -1;
    for (const int64_t due : {static_cast<int64_t>(m_system.TimeoutMs()), m_log.FlushDueMs()}) {
        if (due >= 0) {
            timeout = timeout < 0 ? due : std::min(timeout, due);
        }
    }
    if (poll(m_fds.data(), m_fds.size(), static_cast<int>(timeout)) < 0 && errno != EINTR) {
        return false;
    }
    m_log.Flush();
    const int64_t now =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count();
    if (m_relay.HasDrops() && now - m_lastDropReport >= 1000) {
        m_relay.ReportDrops();
        m_lastDropReport = now;
    }
    return true;
}

void HelperServer::RelayReady() {
    if (m_fds[kLiveness].revents != 0) {
        m_liveness.AcceptAll();
    }
    for (size_t i = kFixed; i < m_fds.size(); ++i) {
        if (m_fds[i].revents != 0) {
            (i < kFixed + m_relays ? m_relay.Ready(m_fds[i]) : m_system.Ready(m_fds[i]));
        }
    }
    m_system.SendDueProbes();
}

HelperServer::Step HelperServer::ReadRequest() {
    const Received received = Receive(kHelperSocketFd);
    if (received.kind == Received::EndOfFile) {
        End("camera-setup is gone");
        return Step::End;
    }
    if (received.kind == Received::Nothing) {
        return Step::Serve;
    }
    HelperResponse response;
    if (received.kind == Received::Refused) {
        m_log.Line("refused request " + std::to_string(received.parse.token) + ": " + received.parse.error);
        response = {received.code, received.parse.error};
    } else {
        response = m_core.Handle(*received.parse.request, received.channel);
        if (response.code != 0 && received.channel >= 0) {
            close(received.channel);
        }
    }
    if (!Answer(received.parse.token, response)) {
        End("cannot answer camera-setup");
        return Step::End;
    }
    return Step::Serve;
}

bool HelperServer::Answer(uint32_t token, const HelperResponse& response) {
    return Send(kHelperSocketFd, m_signals, FormatHelperReply(token, response.code, response.text));
}

int HelperServer::End(const std::string& why) {
    const size_t before = m_core.Installs();
    const size_t failed = m_core.Cleanup();
    m_log.Line(why + ": ended " + std::to_string(before - failed) + " of " + std::to_string(before) + " installations");
    return 0;
}
