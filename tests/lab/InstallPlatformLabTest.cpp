// The real echo channel, neighbour table, host routes and FTP client, inside two network namespaces of the
// test's own joined by a veth pair. Root only; skipped otherwise.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/neighbour.h>
#include <net/if.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Diagnostics.h"
#include "EchoChannel.h"
#include "EchoRequest.h"
#include "FileTransfer.h"
#include "HelperNeighbourTable.h"
#include "NeighbourLookup.h"
#include "PrivilegedHelper.h"

namespace {

const std::string kPrefix = "inst-plat-" + std::to_string(getpid());
const std::string kLocal = kPrefix + "-a";
const std::string kPeer = kPrefix + "-b";
constexpr uint32_t kPeerAddress = 0x0A4D0002;  // 10.77.0.2
constexpr const char* kPeerText = "10.77.0.2";

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

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// Two namespaces, the test process moved into the first; an FTP server and a silent listener in the second.
class Namespaces : public testing::Environment {
  public:
    void SetUp() override {
        if (geteuid() != 0) {
            return;
        }
        m_dir = "/tmp/" + kPrefix;
        mkdir(m_dir.c_str(), 0700);
        std::ofstream(m_dir + "/config.ini", std::ios::binary) << "<subnet mask>\r\n255.255.255.0\r\n";
        std::ofstream(m_dir + "/big.ini", std::ios::binary) << std::string(FileTransfer::kMaxFileBytes + 1, 'x');
        const std::string a = "ip netns exec " + kLocal + " ";
        const std::string b = "ip netns exec " + kPeer + " ";
        m_ready = Shell("ip netns add " + kLocal) && Shell("ip netns add " + kPeer) &&
                  Shell("ip link add inst-va netns " + kLocal + " type veth peer name inst-vb netns " + kPeer) &&
                  Shell(a + "ip addr add 10.77.0.1/24 dev inst-va") && Shell(a + "ip link set inst-va up") &&
                  Shell(a + "ip link set lo up") && Shell(b + "ip addr add 10.77.0.2/24 dev inst-vb") &&
                  Shell(b + "ip link set inst-vb up") && Shell(b + "ip link set lo up");
        if (!m_ready) {
            return;
        }
        m_server = Spawn({"ip", "netns", "exec", kPeer, "/usr/bin/python3", "-c",
                          "import sys\n"
                          "from pyftpdlib.authorizers import DummyAuthorizer\n"
                          "from pyftpdlib.handlers import FTPHandler\n"
                          "from pyftpdlib.servers import FTPServer\n"
                          "import logging; logging.disable(logging.CRITICAL)\n"
                          "a = DummyAuthorizer(); a.add_user('admin', 'RIGHT', sys.argv[1], perm='elradfmw')\n"
                          "a.add_user('reader', 'RIGHT', sys.argv[1], perm='elr')\n"
                          "FTPHandler.authorizer = a\n"
                          "FTPServer(('10.77.0.2', 2121), FTPHandler).serve_forever()\n",
                          m_dir});
        // Refuses passive mode, and cuts a store of cut.ini off right after accepting it.
        m_activeOnly = Spawn({"ip", "netns", "exec", kPeer, "/usr/bin/python3", "-c",
                              "import sys\n"
                              "from pyftpdlib.authorizers import DummyAuthorizer\n"
                              "from pyftpdlib.handlers import FTPHandler\n"
                              "from pyftpdlib.servers import FTPServer\n"
                              "import logging; logging.disable(logging.CRITICAL)\n"
                              "class H(FTPHandler):\n"
                              "    def ftp_EPSV(self, line): self.respond('502 No.')\n"
                              "    def ftp_PASV(self, line): self.respond('502 No.')\n"
                              "    def ftp_STOR(self, file, mode='w'):\n"
                              "        if file.endswith('cut.ini'):\n"
                              "            self.respond('150 Go.'); self.close(); return\n"
                              "        return super().ftp_STOR(file, mode)\n"
                              "a = DummyAuthorizer(); a.add_user('admin', 'RIGHT', sys.argv[1], perm='elradfmw')\n"
                              "H.authorizer = a\n"
                              "FTPServer(('10.77.0.2', 2123), H).serve_forever()\n",
                              m_dir});
        m_silent = Spawn({"ip", "netns", "exec", kPeer, "/usr/bin/python3", "-c",
                          "import socket, time\n"
                          "s = socket.socket(); s.bind(('10.77.0.2', 2122)); s.listen(5)\n"
                          "c = s.accept(); time.sleep(60)\n"});
        m_original = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
        const int target = open(("/run/netns/" + kLocal).c_str(), O_RDONLY | O_CLOEXEC);
        m_ready = m_original >= 0 && target >= 0 && setns(target, CLONE_NEWNET) == 0;
        if (target >= 0) {
            close(target);
        }
        // Give the servers a moment to listen.
        for (int i = 0; i < 50 && m_ready; ++i) {
            if (Shell("ip netns exec " + kPeer + " ss -ltn | grep -q ':2121 ' && ip netns exec " + kPeer +
                      " ss -ltn | grep -q ':2123 '")) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }

    void TearDown() override {
        if (m_original >= 0) {
            setns(m_original, CLONE_NEWNET);
            close(m_original);
        }
        for (pid_t pid : {m_server, m_activeOnly, m_silent}) {
            if (pid > 0) {
                kill(pid, SIGTERM);
                waitpid(pid, nullptr, 0);
            }
        }
        Shell("ip netns delete " + kLocal + " 2>/dev/null");
        Shell("ip netns delete " + kPeer + " 2>/dev/null");
        if (!m_dir.empty()) {
            Shell("rm -rf " + m_dir);
        }
    }

    static bool Ready() { return s_instance != nullptr && s_instance->m_ready; }
    static std::string Directory() { return s_instance->m_dir; }
    static Namespaces* s_instance;

  private:
    static pid_t Spawn(std::vector<std::string> args) {
        const pid_t pid = fork();
        if (pid == 0) {
            std::vector<char*> argv;
            for (auto& arg : args) {
                argv.push_back(arg.data());
            }
            argv.push_back(nullptr);
            execvp(argv[0], argv.data());
            _exit(127);
        }
        return pid;
    }

    bool m_ready = false;
    int m_original = -1;
    pid_t m_server = -1;
    pid_t m_activeOnly = -1;
    pid_t m_silent = -1;
    std::string m_dir;
};

Namespaces* Namespaces::s_instance = nullptr;

class PlatformLabTest : public testing::Test {
  protected:
    void SetUp() override {
        if (geteuid() != 0) {
            GTEST_SKIP() << "needs root";
        }
        if (!Namespaces::Ready()) {
            GTEST_SKIP() << "network namespaces cannot be made here";
        }
    }
};

TEST_F(PlatformLabTest, EchoRepliesComeBackOnRawAndDatagramSockets) {
    struct Case {
        IcmpEchoChannel::Mode mode;
        bool ipHeader;
    };
    ASSERT_TRUE(Shell("echo '0 2147483647' > /proc/sys/net/ipv4/ping_group_range"));
    for (const Case& c :
         {Case{IcmpEchoChannel::Mode::RawOnly, true}, Case{IcmpEchoChannel::Mode::DatagramOnly, false}}) {
        const uint16_t identifier = static_cast<uint16_t>(getpid() + (c.ipHeader ? 0 : 1));
        IcmpEchoChannel::Opened opened = IcmpEchoChannel::Open(identifier, 2000, c.mode);
        ASSERT_EQ(opened.failure, IcmpEchoChannel::Failure::None) << opened.error;
        EXPECT_EQ(opened.channel->DeliversIpHeader(), c.ipHeader);
        EchoRequest request(identifier);
        request.Prepare(1, 1234);
        const EchoChannel::Result sent = opened.channel->Send(kPeerAddress, request.Bytes());
        ASSERT_EQ(sent.status, EchoChannel::Status::Ok);
        EXPECT_EQ(sent.bytes, EchoRequest::kSize);
        std::vector<uint8_t> buffer(1024);
        uint32_t sender = 0;
        // A raw socket may also see other ICMP; the reply to this request comes within the time-out.
        RecordingDiagnostics diagnostics;
        for (int i = 0; i < 5; ++i) {
            const EchoChannel::Result received = opened.channel->Receive(buffer, sender, 2000);
            ASSERT_EQ(received.status, EchoChannel::Status::Ok);
            DecodeEchoReply(std::span<const uint8_t>(buffer.data(), received.bytes), opened.channel->DeliversIpHeader(),
                            sender, opened.channel->ReplyIdentifier(), 1240, diagnostics);
            if (diagnostics.Text(Diagnostics::Stream::Out).find("icmp_seq") != std::string::npos) {
                break;
            }
        }
        EXPECT_EQ(sender, kPeerAddress);
        EXPECT_EQ(diagnostics.Text(Diagnostics::Stream::Out),
                  std::string(c.ipHeader ? "64" : "44") + " bytes from 10.77.0.2: icmp_seq = 1.  time: 6 ms \n");
    }
    Shell("echo '1 0' > /proc/sys/net/ipv4/ping_group_range");

    // Nothing answers: the receive time-out, not an error.
    IcmpEchoChannel::Opened quiet = IcmpEchoChannel::Open(1, 200, IcmpEchoChannel::Mode::RawOnly);
    ASSERT_TRUE(quiet.channel);
    EchoRequest request(1);
    request.Prepare(0, 0);
    ASSERT_EQ(quiet.channel->Send(0x0A4D0063, request.Bytes()).status, EchoChannel::Status::Ok);  // 10.77.0.99
    std::vector<uint8_t> buffer(1024);
    uint32_t sender = 0;
    EchoChannel::Result result{};
    do {
        result = quiet.channel->Receive(buffer, sender, 200);
    } while (result.status == EchoChannel::Status::Ok);  // stray ICMP (an unreachable) may come first
    EXPECT_EQ(result.status, EchoChannel::Status::TimedOut);
}

TEST_F(PlatformLabTest, NeighbourEntriesAndHostRoutesThroughTheHelper) {
    PrivilegedHelper helper;
    ASSERT_EQ(helper.Start(CAMERA_SETUP_HELPER_PATH), PrivilegedHelper::State::Running) << helper.Shortfall();
    HelperNeighbourTable table(helper);
    const int index = static_cast<int>(if_nametoindex("inst-va"));
    ASSERT_GT(index, 0);
    EXPECT_EQ(table.InterfaceForSubnet(0x0A4D0063), index);
    EXPECT_EQ(table.InterfaceForSubnet(0x0A4E0001), std::nullopt);

    std::string error;
    const MacAddress mac({0x02, 0x5E, 0xA1, 0xCC, 0x55, 0xBA});
    ASSERT_TRUE(table.AddPermanent(index, 0x0A4D0032, mac, error)) << error;  // 10.77.0.50
    EXPECT_NE(Output("ip neigh show 10.77.0.50").find("lladdr 02:5e:a1:cc:55:ba PERMANENT"), std::string::npos);
    // Replacing its own entry is allowed; removing twice is not a failure.
    EXPECT_TRUE(table.AddPermanent(index, 0x0A4D0032, mac, error)) << error;
    const std::optional<NeighbourEntry> permanent = table.Lookup(0x0A4D0032);
    ASSERT_TRUE(permanent.has_value());
    EXPECT_EQ(permanent->state, NUD_PERMANENT);
    EXPECT_EQ(permanent->mac, mac);
    EXPECT_EQ(permanent->interfaceIndex, index);
    // A host that answered ARP is there with its own hardware address; an address never asked for is not.
    IcmpEchoChannel::Opened echo = IcmpEchoChannel::Open(1, 2000, IcmpEchoChannel::Mode::RawOnly);
    ASSERT_TRUE(echo.channel);
    EchoRequest request(1);
    request.Prepare(0, 0);
    ASSERT_EQ(echo.channel->Send(kPeerAddress, request.Bytes()).status, EchoChannel::Status::Ok);
    std::vector<uint8_t> buffer(1024);
    uint32_t sender = 0;
    ASSERT_EQ(echo.channel->Receive(buffer, sender, 2000).status, EchoChannel::Status::Ok);
    const std::optional<NeighbourEntry> peer = table.Lookup(kPeerAddress);
    ASSERT_TRUE(peer.has_value() && peer->mac.has_value());
    EXPECT_TRUE(IsAnsweredState(peer->state)) << peer->state;
    EXPECT_EQ(Output("ip netns exec " + kPeer + " cat /sys/class/net/inst-vb/address"), peer->mac->ColonText() + "\n");
    EXPECT_EQ(table.Lookup(0x0A4D0061), std::nullopt);  // 10.77.0.97
    EXPECT_TRUE(table.Remove(0x0A4D0032, error)) << error;
    EXPECT_EQ(Output("ip neigh show 10.77.0.50"), "");
    EXPECT_TRUE(table.Remove(0x0A4D0032, error)) << error;
    EXPECT_FALSE(table.AddPermanent(99999, 0x0A4D0032, mac, error));
    EXPECT_NE(error.find("10.77.0.50"), std::string::npos) << error;

    ASSERT_TRUE(table.AddHostRoute(index, 0xAC1E0505, error)) << error;  // 172.30.5.5
    EXPECT_NE(Output("ip route show 172.30.5.5").find("dev inst-va"), std::string::npos);
    EXPECT_TRUE(table.RemoveHostRoute(index, 0xAC1E0505, error)) << error;
    EXPECT_EQ(Output("ip route show 172.30.5.5"), "");
    EXPECT_TRUE(table.RemoveHostRoute(index, 0xAC1E0505, error)) << error;

    // What the helper added goes when its socket closes.
    ASSERT_TRUE(table.AddPermanent(index, 0x0A4D0033, mac, error)) << error;  // 10.77.0.51
    helper.Shutdown(1000);
    EXPECT_EQ(Output("ip neigh show 10.77.0.51"), "");
}

TEST_F(PlatformLabTest, FtpLoginTransfersAndTimeOuts) {
    std::string error;
    // pyftpdlib answers a refused login after 3 s; for FTP the connect time-out covers the login.
    CurlFileTransfer transfer(CurlFileTransfer::Timeouts{5, 5, 5});
    ASSERT_TRUE(transfer.Open(error));
    EXPECT_EQ(transfer.Connect(kPeerText, 2121, "admin", "wrong", error), FileTransfer::Result::LoginDenied) << error;
    ASSERT_EQ(transfer.Connect(kPeerText, 2121, "admin", "RIGHT", error), FileTransfer::Result::Ok) << error;
    FileTransfer::Fetched fetched;
    ASSERT_EQ(transfer.Download("config.ini", fetched, error), FileTransfer::Result::Ok) << error;
    EXPECT_EQ(fetched.bytes, "<subnet mask>\r\n255.255.255.0\r\n");  // binary: CR LF kept
    EXPECT_EQ(fetched.announcedSize, fetched.bytes.size());
    ASSERT_EQ(transfer.Upload("<reset system>\r\nYES\r\n", "config.ini", error), FileTransfer::Result::Ok) << error;
    EXPECT_EQ(Slurp(Namespaces::Directory() + "/config.ini"), "<reset system>\r\nYES\r\n");
    EXPECT_FALSE(transfer.Active());
    // A missing file, and one larger than the bound, bring nothing.
    EXPECT_EQ(transfer.Download("missing.ini", fetched, error), FileTransfer::Result::Failed);
    EXPECT_EQ(fetched.bytes, "");
    EXPECT_EQ(transfer.Download("big.ini", fetched, error), FileTransfer::Result::Failed);
    EXPECT_NE(error.find("larger than"), std::string::npos) << error;
    EXPECT_EQ(fetched.bytes, "");
    // A refused store never touched the server's file.
    ASSERT_EQ(transfer.Connect(kPeerText, 2121, "reader", "RIGHT", error), FileTransfer::Result::Ok) << error;
    EXPECT_EQ(transfer.Upload("x", "config.ini", error), FileTransfer::Result::Failed) << error;
    transfer.Close();

    // Nobody listening, and a server that never greets: failures, not a refused login, and no hang.
    ASSERT_TRUE(transfer.Open(error));
    EXPECT_EQ(transfer.Connect(kPeerText, 2199, "admin", "RIGHT", error), FileTransfer::Result::Failed);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(transfer.Connect(kPeerText, 2122, "admin", "RIGHT", error), FileTransfer::Result::Failed);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8)) << error;
}

TEST_F(PlatformLabTest, FtpWithoutPassiveModeGoesActiveAndCutUploadsAreReported) {
    std::string error;
    CurlFileTransfer transfer(CurlFileTransfer::Timeouts{5, 5, 5});
    ASSERT_TRUE(transfer.Open(error));
    ASSERT_EQ(transfer.Connect(kPeerText, 2123, "admin", "RIGHT", error), FileTransfer::Result::Ok) << error;
    FileTransfer::Fetched fetched;
    ASSERT_EQ(transfer.Download("config.ini", fetched, error), FileTransfer::Result::Ok) << error;
    EXPECT_TRUE(transfer.Active());
    EXPECT_EQ(fetched.announcedSize, fetched.bytes.size());
    EXPECT_FALSE(fetched.bytes.empty());
    ASSERT_EQ(transfer.Upload("<key 1>\r\nab\r\n", "config.ini", error), FileTransfer::Result::Ok) << error;
    EXPECT_EQ(Slurp(Namespaces::Directory() + "/config.ini"), "<key 1>\r\nab\r\n");
    EXPECT_EQ(transfer.Upload("<key 1>\r\nab\r\n", "cut.ini", error), FileTransfer::Result::Interrupted) << error;
}

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    Namespaces::s_instance = new Namespaces;
    testing::AddGlobalTestEnvironment(Namespaces::s_instance);
    return RUN_ALL_TESTS();
}
