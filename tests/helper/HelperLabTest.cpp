// The real camera-setup-helper on a socket pair, inside a network namespace of the test's own (a veth pair with
// 10.88.0.1/24, a default route via 10.88.0.254, a second veth pair left down). Root only; skipped otherwise.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "HelperProtocol.h"

namespace {

const std::string kNamespace = "a1-helper-" + std::to_string(getpid());

bool Shell(const std::string& command) {
    return std::system(command.c_str()) == 0;
}

std::string Output(const std::string& command) {
    std::string text;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[512];
        while (size_t n = fread(buffer, 1, sizeof buffer, pipe)) {
            text.append(buffer, n);
        }
        pclose(pipe);
    }
    return text;
}

// Everything a helper could change in the namespace.
std::string Tables() {
    return Output("ip -4 neigh show nud all; ip -4 route show table all");
}

// The test process moves into the namespace, so the helpers it starts and the `ip` commands it runs are there.
class Namespace : public testing::Environment {
  public:
    void SetUp() override {
        if (geteuid() != 0) {
            return;
        }
        m_home = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
        const std::string in = "ip -n " + kNamespace + " ";
        ready = Shell("ip netns add " + kNamespace) && Shell(in + "link add h0 type veth peer name h1") &&
                Shell(in + "link add d0 type veth peer name d1") && Shell(in + "addr add 10.88.0.1/24 dev h0") &&
                Shell(in + "link set h0 up") && Shell(in + "link set h1 up") && Shell(in + "link set lo up") &&
                Shell(in + "route add default via 10.88.0.254 dev h0");
        // A copy with the file capabilities of an installed helper, for an ordinary user to run.
        char dir[] = "/tmp/a1-helper-XXXXXX";
        if (mkdtemp(dir) != nullptr && chmod(dir, 0755) == 0) {
            m_copyDir = dir;
            const std::string copy = m_copyDir + "/camera-setup-helper";
            if (Shell("cp " CAMERA_SETUP_HELPER " " + copy) &&
                Shell("setcap cap_net_bind_service,cap_net_raw,cap_net_admin+p " + copy)) {
                capableCopy = copy;
            }
        }
        const int target = open(("/var/run/netns/" + kNamespace).c_str(), O_RDONLY | O_CLOEXEC);
        ready = ready && target >= 0 && setns(target, CLONE_NEWNET) == 0;
        if (target >= 0) {
            close(target);
        }
    }
    void TearDown() override {
        if (m_home >= 0) {
            setns(m_home, CLONE_NEWNET);
            close(m_home);
            Shell("ip netns del " + kNamespace + " 2>/dev/null");
        }
        if (!m_copyDir.empty()) {
            Shell("rm -rf " + m_copyDir);
        }
    }
    static inline bool ready = false;
    static inline std::string capableCopy;

  private:
    int m_home = -1;
    std::string m_copyDir;
};

const auto* const g_namespace = testing::AddGlobalTestEnvironment(new Namespace);

// One helper process and the program's end of its socket pair.
class Helper {
  public:
    // asUser: started as nobody, holding only the capabilities of the program file.
    explicit Helper(bool asUser = false, const std::string& path = CAMERA_SETUP_HELPER) {
        int pair[2];
        if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
            return;
        }
        m_pid = fork();
        if (m_pid == 0) {
            if (asUser && (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 ||
                           setresuid(65534, 65534, 65534) != 0)) {
                _exit(126);
            }
            dup2(pair[1], 3);
            dup2(pair[1], 9);  // inherited by mistake: the helper must close it
            execl(path.c_str(), path.c_str(), nullptr);
            _exit(127);
        }
        close(pair[1]);
        m_fd = pair[0];
        const timeval timeout{5, 0};  // a helper that does not answer fails the test rather than hanging it
        setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    }
    ~Helper() {
        Close();
        Wait();
    }

    HelperReply Ask(const std::string& request, int* received = nullptr, int attach = -1) {
        iovec out{const_cast<char*>(request.data()), request.size()};
        msghdr message{};
        message.msg_iov = &out;
        message.msg_iovlen = 1;
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
        if (attach >= 0) {
            message.msg_control = control;
            message.msg_controllen = sizeof control;
            cmsghdr* header = CMSG_FIRSTHDR(&message);
            header->cmsg_level = SOL_SOCKET;
            header->cmsg_type = SCM_RIGHTS;
            header->cmsg_len = CMSG_LEN(sizeof(int));
            std::memcpy(CMSG_DATA(header), &attach, sizeof attach);
        }
        if (sendmsg(m_fd, &message, MSG_NOSIGNAL) < 0) {
            return {0, -1, "send failed"};
        }
        char data[kHelperMaxReply + 1];
        iovec in{data, sizeof data};
        msghdr reply{};
        reply.msg_iov = &in;
        reply.msg_iovlen = 1;
        reply.msg_control = control;
        reply.msg_controllen = sizeof control;
        const ssize_t length = recvmsg(m_fd, &reply, MSG_CMSG_CLOEXEC);
        if (length <= 0) {
            return {0, -1, "no reply"};
        }
        const cmsghdr* header = CMSG_FIRSTHDR(&reply);
        if (header != nullptr && header->cmsg_type == SCM_RIGHTS) {
            int fd;
            std::memcpy(&fd, CMSG_DATA(header), sizeof fd);
            if (received != nullptr) {
                *received = fd;
            } else {
                close(fd);
            }
        }
        const auto parsed = ParseHelperReply(std::string_view(data, static_cast<size_t>(length)));
        return parsed ? *parsed : HelperReply{0, -1, "unparsable reply"};
    }

    void Close() {
        if (m_fd >= 0) {
            close(m_fd);
            m_fd = -1;
        }
    }
    void Signal(int signal) { kill(m_pid, signal); }
    pid_t Pid() const { return m_pid; }
    // The exit status, or -1.
    int Wait() {
        if (m_pid <= 0) {
            return -1;
        }
        int status = 0;
        waitpid(m_pid, &status, 0);
        m_pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

  private:
    pid_t m_pid = -1;
    int m_fd = -1;
};

class HelperLab : public testing::Test {
  protected:
    void SetUp() override {
        if (geteuid() != 0) {
            GTEST_SKIP() << "needs root for network namespaces";
        }
        ASSERT_TRUE(Namespace::ready);
        m_h0 = std::to_string(if_nametoindex("h0"));
        m_d0 = std::to_string(if_nametoindex("d0"));
    }

    // True once both the entry for 10.88.0.50 and the route to 172.30.0.9 have gone, waiting at most one second.
    static bool GoneWithinOneSecond() {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        do {
            const std::string tables = Tables();
            if (tables.find("10.88.0.50") == std::string::npos && tables.find("172.30.0.9") == std::string::npos) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        } while (std::chrono::steady_clock::now() < end);
        return false;
    }

    void AddEntryAndRoute(Helper& helper) {
        EXPECT_EQ(helper.Ask("1 neigh-add " + m_h0 + " 10.88.0.50 02:00:00:00:00:50").code, 0);
        EXPECT_EQ(helper.Ask("2 route-add " + m_h0 + " 172.30.0.9").code, 0);
        EXPECT_NE(Output("ip neigh show 10.88.0.50").find("02:00:00:00:00:50 PERMANENT"), std::string::npos);
        EXPECT_NE(Output("ip route show 172.30.0.9").find("dev h0"), std::string::npos);
    }

    std::string m_h0;
    std::string m_d0;
};

TEST_F(HelperLab, RefusedRequestsLeaveNeighboursAndRoutesAsTheyWere) {
    ASSERT_TRUE(Shell("ip neigh add 10.88.0.77 lladdr 02:00:00:00:00:77 dev h0 nud permanent"));
    ASSERT_TRUE(Shell("ip route add 10.99.0.5/32 dev h0"));
    const std::string mac = " 02:00:00:00:00:50";
    struct Case {
        std::string request;
        int code;
        std::string text;
    };
    const Case cases[] = {
        {"3 neigh-add 999 10.88.0.50" + mac, EINVAL, "no interface 999"},
        {"3 neigh-add " + m_d0 + " 10.88.0.50" + mac, EINVAL, "interface " + m_d0 + " is down"},
        {"3 route-add 1 10.88.0.50", EINVAL, "interface 1 is not Ethernet"},
        {"3 neigh-add " + m_h0 + " 0.0.0.0" + mac, EINVAL, "address 0.0.0.0 is not a host address"},
        {"3 neigh-add " + m_h0 + " 255.255.255.255" + mac, EINVAL, "address 255.255.255.255 is the limited broadcast"},
        {"3 neigh-add " + m_h0 + " 224.0.0.251" + mac, EINVAL, "address 224.0.0.251 is multicast"},
        {"3 route-add " + m_h0 + " 127.3.0.1", EINVAL, "address 127.3.0.1 is loopback"},
        {"3 neigh-add " + m_h0 + " 240.1.2.3" + mac, EINVAL, "address 240.1.2.3 is reserved (240/4)"},
        {"3 neigh-add " + m_h0 + " 10.88.0.255" + mac, EINVAL,
         "address 10.88.0.255 is the broadcast address of the local subnet 10.88.0.0/24"},
        {"3 neigh-flush 10.88.0.0", EINVAL,
         "address 10.88.0.0 is the network address of the local subnet 10.88.0.0/24"},
        {"3 neigh-add " + m_h0 + " 10.88.0.1" + mac, EINVAL, "address 10.88.0.1 is an address of this PC"},
        {"3 route-add " + m_h0 + " 10.88.0.254", EINVAL, "address 10.88.0.254 is the gateway of a route"},
        {"3 neigh-add " + m_h0 + " 10.88.0.50 00:00:00:00:00:00", EINVAL, "MAC 00:00:00:00:00:00 is zero"},
        {"3 neigh-add " + m_h0 + " 10.88.0.50 33:33:00:00:00:01", EINVAL, "MAC 33:33:00:00:00:01 is not unicast"},
        {"3 neigh-add " + m_h0 + " 10.88.0.77" + mac, EEXIST,
         "a permanent entry for 10.88.0.77 exists that camera-setup-helper did not add"},
        {"3 neigh-flush 10.88.0.77", 0, "flushed 0"},
        {"3 neigh-del 10.88.0.77", ENOENT, "no entry of camera-setup-helper for 10.88.0.77"},
        {"3 route-add " + m_h0 + " 10.99.0.5", EEXIST,
         "a route to 10.99.0.5/32 exists that camera-setup-helper did not add"},
        {"3 route-del " + m_h0 + " 10.99.0.5", ENOENT, "no route of camera-setup-helper to 10.99.0.5/32 dev " + m_h0},
        {"3 dhcp-socket 69", EINVAL, "port must be 67 or 68"},
        {"x neigh-add " + m_h0 + " 10.88.0.50" + mac, EINVAL, "bad token"},
        {"3 " + std::string(300, 'a'), EINVAL, "request too long"},
    };
    Helper helper;
    const std::string before = Tables();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request);
        const HelperReply reply = helper.Ask(c.request);
        EXPECT_EQ(reply.token, c.request[0] == '3' ? 3u : 0u);
        EXPECT_EQ(reply.code, c.code);
        EXPECT_EQ(reply.text, c.text);
    }
    // A descriptor riding along is closed and refused, whatever the request.
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    const HelperReply carried = helper.Ask("4 hello", nullptr, pipeFds[0]);
    EXPECT_EQ(carried.code, EINVAL);
    EXPECT_EQ(carried.text, "descriptors are not accepted");
    close(pipeFds[0]);
    EXPECT_EQ(Tables(), before);
    helper.Close();
    EXPECT_EQ(helper.Wait(), 0);
    EXPECT_NE(Output("ip neigh show 10.88.0.77").find("PERMANENT"), std::string::npos);
    // No reader is left, so the helper closed the copy it received.
    std::signal(SIGPIPE, SIG_IGN);
    EXPECT_LT(write(pipeFds[1], "x", 1), 0);
    close(pipeFds[1]);
    Shell("ip neigh del 10.88.0.77 dev h0; ip route del 10.99.0.5/32 dev h0");
}

TEST_F(HelperLab, EndOfFileAndEndSignalsRemoveWhatItAdded) {
    struct Case {
        int signal;  // 0: the program's end of the socket closes
        bool asUser;
    };
    for (const Case c : {Case{0, false}, Case{SIGTERM, false}, Case{SIGHUP, false}, Case{SIGINT, false}, Case{0, true},
                         Case{SIGTERM, true}}) {
        SCOPED_TRACE(std::to_string(c.signal) + (c.asUser ? " as an ordinary user" : " as root"));
        if (c.asUser && Namespace::capableCopy.empty()) {
            ADD_FAILURE() << "no copy with file capabilities (setcap)";
            continue;
        }
        Helper helper(c.asUser, c.asUser ? Namespace::capableCopy : CAMERA_SETUP_HELPER);
        AddEntryAndRoute(helper);
        // Permitted only, effective empty between requests, whoever started it.
        const std::string status = Output("grep ^Cap /proc/" + std::to_string(helper.Pid()) + "/status");
        EXPECT_NE(status.find("CapPrm:\t0000000000003400\nCapEff:\t0000000000000000"), std::string::npos) << status;
        if (c.signal == 0) {
            helper.Close();
        } else {
            helper.Signal(c.signal);
        }
        EXPECT_TRUE(GoneWithinOneSecond()) << Tables();
        EXPECT_EQ(helper.Wait(), 0);
    }
}

TEST_F(HelperLab, SocketsAreBoundAndConfiguredAndHelloAnswersQuickly) {
    Helper helper;
    for (const char* port : {"67", "68"}) {
        int fd = -1;
        const HelperReply reply = helper.Ask(std::string("5 dhcp-socket ") + port, &fd);
        EXPECT_EQ(reply.text, std::string("bound ") + port);
        ASSERT_GE(fd, 0);
        sockaddr_in bound{};
        socklen_t size = sizeof bound;
        int reuse = 0, broadcast = 0, pktinfo = 0, buffer = 0;
        socklen_t intSize = sizeof(int);
        EXPECT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &size), 0);
        EXPECT_EQ(ntohs(bound.sin_port), std::stoi(port));
        getsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, &intSize);
        getsockopt(fd, SOL_SOCKET, SO_BROADCAST, &broadcast, &intSize);
        getsockopt(fd, IPPROTO_IP, IP_PKTINFO, &pktinfo, &intSize);
        getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, &intSize);
        EXPECT_TRUE(reuse && broadcast && pktinfo);
        EXPECT_GE(buffer, 1 << 20);
        close(fd);
    }
    EXPECT_EQ(helper.Ask("6 hello").text.substr(20), "3.01 caps=net_raw,net_admin");
    const std::string proc = "/proc/" + std::to_string(helper.Pid());
    const std::string status = Output("grep ^Cap " + proc + "/status");
    EXPECT_NE(status.find("CapInh:\t0000000000000000\nCapPrm:\t0000000000003000\nCapEff:\t0000000000000000"),
              std::string::npos)
        << status;
    EXPECT_NE(status.find("CapAmb:\t0000000000000000"), std::string::npos) << status;
    // The standard three, its socket and its signalfd.
    EXPECT_EQ(Output("ls " + proc + "/fd"), "0\n1\n2\n3\n4\n");
    int icmp = -1;
    EXPECT_EQ(helper.Ask("7 icmp-socket", &icmp).text, "raw icmp");
    int type = 0;
    socklen_t typeSize = sizeof type;
    EXPECT_EQ(getsockopt(icmp, SOL_SOCKET, SO_TYPE, &type, &typeSize), 0);
    EXPECT_EQ(type, SOCK_RAW);
    close(icmp);

    std::vector<double> micros;
    for (int i = 0; i < 1000; ++i) {
        const auto start = std::chrono::steady_clock::now();
        ASSERT_EQ(helper.Ask("8 hello").code, 0);
        micros.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
    }
    std::nth_element(micros.begin(), micros.begin() + 500, micros.end());
    std::printf("helper hello round trip: median %.1f us over 1000\n", micros[500]);
    RecordProperty("hello_round_trip_median_us", std::to_string(micros[500]));
}

TEST_F(HelperLab, WithoutCapabilitiesEveryChangeIsRefused) {
    Helper helper(true);
    EXPECT_EQ(helper.Ask("1 hello").text.substr(20), "3.01 caps=none");
    const std::string before = Tables();
    for (const std::string& request :
         {"2 neigh-add " + m_h0 + " 10.88.0.50 02:00:00:00:00:50", "3 route-add " + m_h0 + " 172.30.0.9",
          std::string("4 neigh-flush 10.88.0.50")}) {
        const HelperReply reply = helper.Ask(request);
        EXPECT_EQ(reply.code, EPERM) << request;
        EXPECT_EQ(reply.text, "camera-setup-helper lacks CAP_NET_ADMIN");
    }
    EXPECT_EQ(helper.Ask("5 icmp-socket").text, "camera-setup-helper lacks CAP_NET_RAW");
    EXPECT_EQ(helper.Ask("6 dhcp-socket 67").text, "camera-setup-helper lacks CAP_NET_BIND_SERVICE");
    EXPECT_EQ(Tables(), before);
}

}  // namespace
