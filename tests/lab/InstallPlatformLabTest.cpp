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
#include "HelperCameraAssignment.h"
#include "HelperEchoChannel.h"
#include "NeighbourLookup.h"
#include "PrivilegedHelper.h"
#include "RelaySocket.h"

namespace {

const std::string kPrefix = "inst-plat-" + std::to_string(getpid());
const std::string kLocal = kPrefix + "-a";
const std::string kPeer = kPrefix + "-b";
constexpr uint32_t kPeerAddress = 0x0A4D0002;  // 10.77.0.2
constexpr const char* kPeerText = "10.77.0.2";
// The peer plays a camera (its MAC lies in the camera ranges) that already holds 10.77.0.60 as well.
const std::string kPeerMacText = "02:5e:a1:cd:e1:77";
constexpr uint32_t kCameraHeld = 0x0A4D003C;  // 10.77.0.60

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
        std::ofstream(m_dir + "/whole.ini", std::ios::binary) << "<subnet mask>\r\n255.255.0.0\r\n";
        std::ofstream(m_dir + "/half.ini", std::ios::binary) << "<subnet mask>\r\n255.255.0.0\r\n";
        std::ofstream(m_dir + "/big.ini", std::ios::binary) << std::string(FileTransfer::kMaxFileBytes + 1, 'x');
        const std::string a = "ip netns exec " + kLocal + " ";
        const std::string b = "ip netns exec " + kPeer + " ";
        m_ready = Shell("ip netns add " + kLocal) && Shell("ip netns add " + kPeer) &&
                  Shell("ip link add inst-va netns " + kLocal + " type veth peer name inst-vb netns " + kPeer) &&
                  Shell(a + "ip addr add 10.77.0.1/24 dev inst-va") && Shell(a + "ip link set inst-va up") &&
                  Shell(a + "ip link set lo up") && Shell(b + "ip addr add 10.77.0.2/24 dev inst-vb") &&
                  Shell(b + "ip link set inst-vb address " + kPeerMacText) &&
                  Shell(b + "ip addr add 10.77.0.60/24 dev inst-vb") && Shell(b + "ip link set inst-vb up") &&
                  Shell(b + "ip link set lo up");
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
        // A camera that goes away once a file has gone: user "mute" gets no reply to QUIT, "reset" has its
        // connection reset; a download of whole.ini (or of the first half of half.ini) loses its control
        // connection in place of the final reply.
        m_restarting =
            Spawn({"ip", "netns", "exec", kPeer, "/usr/bin/python3", "-c",
                   "import socket, struct, sys\n"
                   "from pyftpdlib.authorizers import DummyAuthorizer\n"
                   "from pyftpdlib.handlers import FTPHandler\n"
                   "from pyftpdlib.filesystems import AbstractedFS\n"
                   "from pyftpdlib.servers import FTPServer\n"
                   "import logging; logging.disable(logging.CRITICAL)\n"
                   "class Half:\n"
                   "    def __init__(self, f): self.f, self.left = f, 5\n"
                   "    def __getattr__(self, n): return getattr(self.f, n)\n"
                   "    def read(self, n=-1):\n"
                   "        d = self.f.read(self.left); self.left -= len(d); return d\n"
                   "class FS(AbstractedFS):\n"
                   "    def open(self, name, mode):\n"
                   "        f = super().open(name, mode)\n"
                   "        return Half(f) if name.endswith('half.ini') else f\n"
                   "class H(FTPHandler):\n"
                   "    abstracted_fs = FS\n"
                   "    use_sendfile = False\n"
                   "    drop = False\n"
                   "    def reset(self):\n"
                   "        self.socket.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, "
                   "struct.pack('ii', 1, 0)); self.close()\n"
                   "    def ftp_RETR(self, file):\n"
                   "        self.drop = file.endswith(('whole.ini', 'half.ini'))\n"
                   "        return super().ftp_RETR(file)\n"
                   "    def respond(self, resp, logfun=None):\n"
                   "        if self.drop and resp.startswith('226'): return self.reset()\n"
                   "        return super().respond(resp)\n"
                   "    def ftp_QUIT(self, line):\n"
                   "        if self.username == 'mute': return\n"
                   "        if self.username == 'reset': return self.reset()\n"
                   "        return super().ftp_QUIT(line)\n"
                   "a = DummyAuthorizer()\n"
                   "for u in ('admin', 'mute', 'reset'): a.add_user(u, 'RIGHT', sys.argv[1], perm='elradfmw')\n"
                   "H.authorizer = a\n"
                   "FTPServer(('10.77.0.2', 2124), H).serve_forever()\n",
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
                      " ss -ltn | grep -q ':2123 ' && ip netns exec " + kPeer + " ss -ltn | grep -q ':2124 '")) {
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
        for (pid_t pid : {m_server, m_activeOnly, m_restarting, m_silent}) {
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
    pid_t m_restarting = -1;
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

// Waits for a reply to `request` from `from` on the channel: true once an echo reply with its identifier and
// sequence bytes arrives (other ICMP, such as the peer's own traffic, is passed over).
bool AwaitReply(EchoChannel& channel, const EchoRequest& request, uint32_t from) {
    std::vector<uint8_t> buffer(1024);
    const size_t header = channel.DeliversIpHeader() ? 20 : 0;
    for (int packets = 0; packets < 20; ++packets) {
        uint32_t sender = 0;
        const EchoChannel::Result received = channel.Receive(buffer, sender, 2000);
        if (received.status != EchoChannel::Status::Ok) {
            return false;
        }
        const std::span<const uint8_t> bytes = request.Bytes();
        const uint16_t identifier = channel.ReplyIdentifier();
        if (sender == from && received.bytes >= header + 8 && buffer[header] == 0 &&
            buffer[header + 4] == (identifier & 0xFF) && buffer[header + 5] == (identifier >> 8) &&
            buffer[header + 6] == bytes[6] && buffer[header + 7] == bytes[7]) {
            return true;
        }
    }
    return false;
}

int AssignEcho(CameraAssignment& assignment, uint32_t address, const EchoChannel& channel, const EchoRequest& request,
               std::string& error) {
    const std::span<const uint8_t> bytes = request.Bytes();
    return assignment.SendAssignEcho(address, HelperEchoChannel::WireIdentifier(channel.ReplyIdentifier()),
                                     static_cast<uint16_t>((bytes[6] << 8) | bytes[7]),
                                     bytes.subspan(EchoRequest::kHeaderSize), error);
}

TEST_F(PlatformLabTest, CameraAssignmentAndRelaysThroughTheHelper) {
    PrivilegedHelper helper;
    ASSERT_EQ(helper.Start(CAMERA_SETUP_HELPER_PATH), PrivilegedHelper::State::Running) << helper.Shortfall();
    HelperCameraAssignment assignment(helper);
    const int index = static_cast<int>(if_nametoindex("inst-va"));
    ASSERT_GT(index, 0);
    EXPECT_EQ(assignment.InterfaceForSubnet(0x0A4D0063), index);
    EXPECT_EQ(assignment.InterfaceForSubnet(0x0A4E0001), std::nullopt);
    RelayOpened arp = OpenArpRelay(helper);
    ASSERT_TRUE(arp.socket) << arp.text;

    // Another MAC answers the probe for the peer's address: no echo request goes to the camera; a camera
    // answering for its own address is no refusal.
    const MacAddress camera = *MacAddress::Parse(kPeerMacText);
    std::string error;
    ASSERT_EQ(assignment.Begin(index, kPeerAddress, MacAddress({0x02, 0x5E, 0xA1, 0xCD, 0xE1, 0x78}), error), 0)
        << error;
    EXPECT_EQ(assignment.SendAssignEcho(kPeerAddress, 1, 1, {}, error), EADDRINUSE);
    EXPECT_EQ(assignment.SendAssignEcho(kPeerAddress, 1, 2, {}, error), EADDRINUSE);
    EXPECT_TRUE(assignment.End(kPeerAddress, error)) << error;
    ASSERT_EQ(assignment.Begin(index, kCameraHeld, camera, error), 0) << error;
    // The camera's ARP answers came through the relay, with their interface.
    bool relayed = false;
    for (int i = 0; i < 200 && !relayed; ++i) {
        std::vector<uint8_t> packet(64);
        DatagramSource::Datagram datagram;
        if (arp.socket->Receive(packet, &datagram) != 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        relayed = datagram.length == 28 && datagram.interface == index &&
                  MacAddress::FromBytes(std::span<const uint8_t>(packet).subspan(8, 6)) == camera;
    }
    EXPECT_TRUE(relayed);

    // Straight to the camera: the reply reaches a datagram socket with its identifier, and the helper's channel.
    ASSERT_TRUE(Shell("echo '0 2147483647' > /proc/sys/net/ipv4/ping_group_range"));
    IcmpEchoChannel::Opened datagram = IcmpEchoChannel::Open(0x2345, 2000, IcmpEchoChannel::Mode::DatagramOnly);
    Shell("echo '1 0' > /proc/sys/net/ipv4/ping_group_range");
    ASSERT_TRUE(datagram.channel) << datagram.error;
    IcmpEchoChannel::Opened channel = HelperEchoChannel::Open(helper, 2000);
    ASSERT_TRUE(channel.channel) << channel.error;
    EchoRequest request(0x2345);
    request.Prepare(3, 0);
    ASSERT_EQ(AssignEcho(assignment, kCameraHeld, *datagram.channel, request, error), 0) << error;
    EXPECT_TRUE(AwaitReply(*datagram.channel, request, kCameraHeld));
    EchoRequest own(0x3456);
    own.Prepare(4, 0);
    ASSERT_EQ(AssignEcho(assignment, kCameraHeld, *channel.channel, own, error), 0) << error;
    EXPECT_TRUE(AwaitReply(*channel.channel, own, kCameraHeld));
    // Routed through the channel; a host that answered ARP is then in the kernel's table with its own MAC.
    own.Prepare(5, 0);
    ASSERT_EQ(channel.channel->Send(kPeerAddress, own.Bytes()).status, EchoChannel::Status::Ok);
    EXPECT_TRUE(AwaitReply(*channel.channel, own, kPeerAddress));
    const std::optional<NeighbourEntry> peer = assignment.Lookup(kPeerAddress);
    ASSERT_TRUE(peer.has_value() && peer->mac.has_value());
    EXPECT_TRUE(IsAnsweredState(peer->state)) << peer->state;
    EXPECT_EQ(peer->mac, camera);
    EXPECT_EQ(assignment.Lookup(0x0A4D0061), std::nullopt);  // 10.77.0.97
    // A destination the helper refuses comes back as an error.
    ASSERT_EQ(channel.channel->Send(0xFFFFFFFFu, own.Bytes()).status, EchoChannel::Status::Ok);
    std::vector<uint8_t> buffer(1024);
    uint32_t sender = 0;
    EXPECT_EQ(channel.channel->Receive(buffer, sender, 2000).status, EchoChannel::Status::SendFailed);

    EXPECT_TRUE(assignment.End(kCameraHeld, error)) << error;
    EXPECT_TRUE(assignment.End(kCameraHeld, error)) << error;
    EXPECT_EQ(AssignEcho(assignment, kCameraHeld, *channel.channel, own, error), ENOENT);

    // An address of another site is routed for this user only, and only while it is being installed.
    ASSERT_EQ(assignment.Begin(index, 0xAC1E0505, camera, error), 0) << error;  // 172.30.5.5
    EXPECT_NE(Output("ip route show table all 172.30.5.5").find("dev inst-va"), std::string::npos);
    EXPECT_EQ(Output("ip route show 172.30.5.5"), "");
    EXPECT_NE(Output("ip rule show").find("uidrange 0-0"), std::string::npos);
    EXPECT_TRUE(assignment.End(0xAC1E0505, error)) << error;
    EXPECT_EQ(Output("ip route show table all 172.30.5.5"), "");

    // What the helper added goes when its socket closes.
    ASSERT_EQ(assignment.Begin(index, 0xAC1E0506, camera, error), 0) << error;
    helper.Shutdown(1000);
    EXPECT_EQ(Output("ip route show table all 172.30.5.6"), "");
    EXPECT_EQ(Output("ip rule show").find("uidrange"), std::string::npos);
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

// After the upload's final reply nothing waits on the camera: the goodbye costs no time whether it is
// answered, never answered or reset, and a download whose whole file arrived survives losing its control
// connection in place of the final reply.
TEST_F(PlatformLabTest, FtpEndingsOfACameraThatGoesAway) {
    // The server-response time-out is far above the bound below, so a wait for the goodbye shows.
    const CurlFileTransfer::Timeouts timeouts{5, 5, 5};
    for (const char* user : {"admin", "mute", "reset"}) {
        std::string error;
        CurlFileTransfer transfer(timeouts);
        ASSERT_TRUE(transfer.Open(error));
        ASSERT_EQ(transfer.Connect(kPeerText, 2124, user, "RIGHT", error), FileTransfer::Result::Ok) << user << error;
        const std::string stored = std::string("<host name>\r\n") + user + "\r\n";
        ASSERT_EQ(transfer.Upload(stored, "config.ini", error), FileTransfer::Result::Ok) << user << error;
        const auto start = std::chrono::steady_clock::now();
        transfer.Close();
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2)) << user;
        EXPECT_EQ(Slurp(Namespaces::Directory() + "/config.ini"), stored) << user;
    }
    struct Case {
        const char* file;
        FileTransfer::Result result;
        const char* bytes;
    } cases[] = {
        {"whole.ini", FileTransfer::Result::Ok, "<subnet mask>\r\n255.255.0.0\r\n"},
        {"half.ini", FileTransfer::Result::Failed, ""},
    };
    for (const Case& c : cases) {
        std::string error;
        CurlFileTransfer transfer(timeouts);
        ASSERT_TRUE(transfer.Open(error));
        ASSERT_EQ(transfer.Connect(kPeerText, 2124, "admin", "RIGHT", error), FileTransfer::Result::Ok) << error;
        FileTransfer::Fetched fetched;
        EXPECT_EQ(transfer.Download(c.file, fetched, error), c.result) << c.file << ": " << error;
        EXPECT_EQ(fetched.bytes, c.bytes) << c.file;
        // The session goes on over a new connection.
        EXPECT_EQ(transfer.Upload("x", "after.ini", error), FileTransfer::Result::Ok) << c.file << ": " << error;
    }
}

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    Namespaces::s_instance = new Namespaces;
    testing::AddGlobalTestEnvironment(Namespaces::s_instance);
    return RUN_ALL_TESTS();
}
