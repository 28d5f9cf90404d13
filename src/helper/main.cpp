// camera-setup-helper: started by camera-setup with one end of a SOCK_SEQPACKET socket pair as descriptor 3.
// Answers one request per packet (HelperProtocol.h), relays through the sockets the program attached, and removes
// everything it added when the socket reaches end of file, on a cleanup request and on SIGTERM, SIGHUP and SIGINT.
// What a killed helper left is removed by the next one that starts, and by install-begin: everything tagged with
// a token whose helper no longer runs (HelperLiveness).

#include "HelperCore.h"
#include "HelperLiveness.h"
#include "HelperLog.h"
#include "HelperProtocol.h"
#include "HelperRelay.h"
#include "HelperServer.h"
#include "LibcapPrivileges.h"
#include "NetlinkHelperSystem.h"
#include "RtNetlink.h"

#include <fcntl.h>
#include <paths.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>

namespace {

// The system log, connected before anything is served; -1 without one. Never blocking: a system log that falls
// behind must not stall the installations of every user this helper serves, so a line it cannot take is counted
// and the count goes out with the next line it takes.
int g_log = -1;
bool g_logIsStream = false;
size_t g_logDropped = 0;

bool SendToLog(const std::string& message) {
    char stamp[32] = "";
    const time_t now = time(nullptr);
    tm local{};
    if (localtime_r(&now, &local) != nullptr) {
        strftime(stamp, sizeof stamp, "%h %e %T ", &local);
    }
    // As syslog(3) sends it: priority, time, tag and pid; a stream socket wants each message ended by a NUL.
    // Appended, not joined with operator+: GCC 12 at -O3 warns falsely (-Wrestrict) on "<" + std::string&&.
    std::string datagram = "<";
    datagram.append(std::to_string(LOG_AUTHPRIV | LOG_NOTICE)).append(">").append(stamp).append(kHelperName);
    datagram.append("[").append(std::to_string(getpid())).append("]: ").append(message);
    if (g_logIsStream) {
        datagram.push_back('\0');
    }
    return send(g_log, datagram.data(), datagram.size(), MSG_DONTWAIT | MSG_NOSIGNAL) ==
           static_cast<ssize_t>(datagram.size());
}

void Emit(std::string_view line) {
    // One write per line, so that lines of concurrent writers to the same stderr do not interleave.
    const std::string text = std::string(kHelperName) + ": " + std::string(line) + "\n";
    [[maybe_unused]] const ssize_t written = write(STDERR_FILENO, text.data(), text.size());
    // The caller may throw its stderr away; the system log keeps who changed what.
    if (g_log < 0) {
        return;
    }
    const std::string uid = "uid=" + std::to_string(getuid()) + ": ";
    if (g_logDropped > 0 && SendToLog(uid + std::to_string(g_logDropped) +
                                      " lines were dropped while the system log "
                                      "was full")) {
        g_logDropped = 0;
    }
    if (g_logDropped > 0 || !SendToLog(uid + std::string(line))) {
        ++g_logDropped;
    }
}

// Connected before anything is served, so that no descriptor limit met later can keep a line out. Where there is
// no syslog socket (a container), says so once and logs to standard error only.
void OpenSystemLog() {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, _PATH_LOG, sizeof address.sun_path - 1);
    int error = 0;
    for (const int type : {SOCK_DGRAM, SOCK_STREAM}) {
        const int fd = socket(AF_UNIX, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
            g_log = fd;
            g_logIsStream = type == SOCK_STREAM;
            break;
        }
        error = errno;
        if (fd >= 0) {
            close(fd);
        }
        if (error != EPROTOTYPE) {
            break;
        }
    }
    if (g_log < 0) {
        Emit(std::string("no system log (") + _PATH_LOG + ": " + std::strerror(error) +
             "); logging to standard error only");
    }
}

// A closed standard descriptor would otherwise be reused by the next socket, and the log would go into it.
void OpenStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF && open("/dev/null", O_RDWR) != fd) {
            std::_Exit(2);
        }
    }
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

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Removes what helpers that no longer run left (any user's: their tokens have no live socket), and the tagged
// neighbour entries of older helpers.
void SweepAtStart(NetlinkHelperSystem& system, HelperLog& log) {
    size_t failed = 0;
    size_t removed = system.SweepDead(failed);
    size_t neighboursFailed = 0;
    removed += system.SweepTaggedNeighbours(neighboursFailed);
    failed += neighboursFailed;
    if (removed > 0 || failed > 0) {
        log.Line("removed " + std::to_string(removed) +
                 " routes, rules and entries that helpers no longer running left" +
                 (failed > 0 ? "; " + std::to_string(failed) + " could not be removed" : ""));
    }
}

// Everything before serving that can refuse to start; 0 to go on, else the exit status.
int Prepare(int argc, LibcapPrivileges& privileges) {
    OpenStandardDescriptors();
    clearenv();
    if (close_range(kHelperSocketFd + 1, ~0U, 0) != 0) {
        Emit(std::string("cannot close inherited descriptors: ") + std::strerror(errno));
        return 2;
    }
    OpenSystemLog();
    if (argc != 1) {
        Emit("takes no arguments besides --version; camera-setup starts it");
        return 2;
    }
    if (!IsSeqPacketPair(kHelperSocketFd)) {
        Emit("descriptor 3 is not a connected AF_UNIX SOCK_SEQPACKET socket; camera-setup starts this program");
        return 2;
    }
    std::string error;
    if (!privileges.Restrict(error)) {
        Emit("cannot restrict its capabilities: " + error);
        return 1;
    }
    prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
    std::signal(SIGPIPE, SIG_IGN);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::string_view(argv[1]) == "--version") {
        std::printf("%s %s\n", kHelperName.data(), CAMERA_SETUP_VERSION);
        return 0;
    }
    LibcapPrivileges privileges;
    if (const int status = Prepare(argc, privileges); status != 0) {
        return status;
    }
    sigset_t endSignals;
    const int signals = EndSignals(endSignals);
    if (signals < 0) {
        Emit(std::string("cannot watch for end signals: ") + std::strerror(errno));
        return 1;
    }
    // Opened now, with CAP_NET_ADMIN (the kernel checks the opener too), so that cleanup never needs a descriptor
    // that a descriptor limit could refuse.
    int netlink;
    {
        RaisedCapability raised(privileges, HelperCapability::NetAdmin);
        netlink = NetlinkOpen();
    }
    if (netlink < 0) {
        Emit(std::string("cannot open a netlink socket: ") + std::strerror(errno));
        return 1;
    }
    NetlinkKeepSocket(netlink);
    HelperLiveness liveness;
    std::string error;
    if (!liveness.Open(error)) {
        Emit("cannot make its mark of life: " + error);
        return 1;
    }
    HelperLog log(Emit, NowMs);
    const auto line = [&log](std::string_view text) { log.Line(text); };
    NetlinkHelperSystem system(privileges, liveness.Token());
    if (privileges.Holds(HelperCapability::NetAdmin)) {
        SweepAtStart(system, log);
    }
    HelperRelay relay(
        privileges, line, [&system] { return system.LocalAddresses(); }, NowMs, [&system] { return system.Ports(); });
    system.ServeWhileWaiting([&relay] { return relay.PollSet(); },
                             [&relay](const pollfd& ready) { relay.Ready(ready); });
    HelperCore core(system, relay, privileges, line, CAMERA_SETUP_VERSION, getuid(), NowMs);
    return HelperServer(core, relay, system, liveness, log, signals).Run();
}
