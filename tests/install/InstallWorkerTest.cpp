#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <dirent.h>
#include <stdlib.h>
#include <unistd.h>

#include <deque>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "ConfigFileRewrite.h"
#include "Diagnostics.h"
#include "EchoRequest.h"
#include "InstallWorker.h"

namespace {

using Stream = Diagnostics::Stream;
using testing::ElementsAre;
using testing::HasSubstr;

constexpr uint32_t kCameraAddress = 0xC0A80A32;   // 192.168.10.50
constexpr uint32_t kNewAddress = 0xC0A80A64;      // 192.168.10.100
constexpr uint32_t kForeignAddress = 0x0A0A0A0A;  // 10.10.10.10
constexpr const char* kMac = "00-1A-2B-3C-4D-5E";
constexpr int kLanInterface = 4;
constexpr uint16_t kIdentifier = 0x1234;

// Everything the fakes see, in order, so tests can check the sequence of the whole installation.
struct Log {
    std::vector<std::string> events;
    void Add(std::string event) { events.push_back(std::move(event)); }
    bool Has(const std::string& event) const { return std::find(events.begin(), events.end(), event) != events.end(); }
    std::vector<std::string> Matching(const std::string& prefix) const {
        std::vector<std::string> found;
        for (const auto& e : events) {
            if (e.rfind(prefix, 0) == 0) {
                found.push_back(e);
            }
        }
        return found;
    }
};

class FakeClock : public Clock {
  public:
    explicit FakeClock(Log& log) : m_log(log) {}
    uint32_t TickCountMs() override { return m_now; }
    void SleepMs(uint32_t ms) override {
        m_now += ms;
        m_slept += ms;
        m_log.Add("sleep " + std::to_string(ms));
    }
    uint32_t m_now = 0xFFFFF000u;  // wraps during the run
    uint64_t m_slept = 0;

  private:
    Log& m_log;
};

// What the channel does on each receive: answer, time out, or fail. Runs out into time-outs.
struct Step {
    enum Kind { Answer, Silence, Fail, SendFail, SendTimeout } kind;
};

class FakeChannel : public EchoChannel {
  public:
    FakeChannel(Log& log, std::deque<Step> script, FakeClock& clock)
        : m_log(log), m_script(std::move(script)), m_clock(clock) {}
    Result Send(uint32_t destination, std::span<const uint8_t> message) override {
        m_log.Add("send " + DottedAddress(destination) + " seq " + std::to_string(message[6] | (message[7] << 8)));
        m_lastRequest.assign(message.begin(), message.end());
        if (!m_script.empty() && m_script.front().kind == Step::SendFail) {
            m_script.pop_front();
            return {Status::Error, 101, 0};
        }
        if (!m_script.empty() && m_script.front().kind == Step::SendTimeout) {
            m_script.pop_front();
            return {Status::TimedOut, 11, 0};
        }
        return {Status::Ok, 0, message.size()};
    }
    Result Receive(std::span<uint8_t> buffer, uint32_t& sender) override {
        Step step{Step::Silence};
        if (!m_script.empty()) {
            step = m_script.front();
            m_script.pop_front();
        }
        if (step.kind == Step::Fail) {
            return {Status::Error, 104, 0};
        }
        if (step.kind != Step::Answer) {
            m_clock.m_now += 2000;
            return {Status::TimedOut, 11, 0};
        }
        // An echo reply: IP header then the request's ICMP message with type 0.
        std::vector<uint8_t> packet(20 + EchoRequest::kSize, 0);
        packet[0] = 0x45;
        std::copy(m_lastRequest.begin() + 1, m_lastRequest.end(), packet.begin() + 21);
        std::copy(packet.begin(), packet.end(), buffer.begin());
        sender = kNewAddress;
        return {Status::Ok, 0, packet.size()};
    }
    bool DeliversIpHeader() const override { return true; }
    uint16_t ReplyIdentifier() const override { return kIdentifier; }

  private:
    Log& m_log;
    std::deque<Step> m_script;
    FakeClock& m_clock;
    std::vector<uint8_t> m_lastRequest;
};

class FakeNeighbours : public NeighbourTable {
  public:
    explicit FakeNeighbours(Log& log) : m_log(log) {}
    std::optional<int> InterfaceForSubnet(uint32_t address) override {
        if ((address & 0xFFFFFF00u) == 0xC0A80A00u) {
            return kLanInterface;
        }
        return std::nullopt;
    }
    bool AddPermanent(int interfaceIndex, uint32_t address, const MacAddress& mac, std::string& error) override {
        m_log.Add("neigh add " + std::to_string(interfaceIndex) + " " + DottedAddress(address) + " " +
                  std::to_string(mac[5]));
        if (m_failAdd) {
            error = "refused";
            return false;
        }
        m_entries[address] = interfaceIndex;
        return true;
    }
    bool Remove(uint32_t address, std::string&) override {
        m_log.Add("neigh del " + DottedAddress(address));
        m_entries.erase(address);
        return true;
    }
    bool FlushDynamic(uint32_t address, std::string&) override {
        m_log.Add("neigh flush " + DottedAddress(address));
        return true;
    }
    bool AddHostRoute(int interfaceIndex, uint32_t address, std::string& error) override {
        m_log.Add("route add " + std::to_string(interfaceIndex) + " " + DottedAddress(address));
        if (m_failRoute) {
            error = "refused";
            return false;
        }
        m_routes[address] = interfaceIndex;
        return true;
    }
    bool RemoveHostRoute(int interfaceIndex, uint32_t address, std::string&) override {
        m_log.Add("route del " + std::to_string(interfaceIndex) + " " + DottedAddress(address));
        m_routes.erase(address);
        return true;
    }
    std::map<uint32_t, int> m_entries;
    std::map<uint32_t, int> m_routes;
    bool m_failAdd = false;
    bool m_failRoute = false;

  private:
    Log& m_log;
};

class FakeTransfer : public FileTransfer {
  public:
    explicit FakeTransfer(Log& log) : m_log(log) {}
    bool Open(std::string&) override {
        m_log.Add("ftp open");
        return m_openOk;
    }
    Result Connect(const std::string& host, uint16_t port, const std::string& user, const std::string& password,
                   std::string& error) override {
        m_log.Add("ftp connect " + host + ":" + std::to_string(port) + " " + user + " " + password);
        error = "refused";
        return password == m_password && port == m_port ? Result::Ok : Result::LoginDenied;
    }
    Result Download(const std::string& remote, const std::string& local, std::string&) override {
        m_log.Add("ftp get " + remote);
        if (!m_downloadOk) {
            return Result::Failed;
        }
        std::ofstream(local, std::ios::binary) << m_remoteFile;
        return Result::Ok;
    }
    Result Upload(const std::string& local, const std::string& remote, std::string&) override {
        m_log.Add("ftp put " + remote);
        if (!m_uploadOk) {
            return Result::Failed;
        }
        std::ifstream in(local, std::ios::binary);
        std::ostringstream content;
        content << in.rdbuf();
        m_uploaded = content.str();
        return Result::Ok;
    }
    void Close() override {}

    std::string m_password = "001A2B3C4D5E";
    uint16_t m_port = 21;
    bool m_openOk = true;
    bool m_downloadOk = true;
    bool m_uploadOk = true;
    std::string m_remoteFile = "<subnet mask>\n255.0.0.0\n<reset system>\nNO\nother\n";
    std::optional<std::string> m_uploaded;

  private:
    Log& m_log;
};

class FakeUi : public InstallUi {
  public:
    explicit FakeUi(Log& log) : m_log(log) {}
    std::optional<InstallParams> RunWizard(const WizardRequest& request) override {
        m_log.Add("wizard");
        m_request = request;
        return m_wizardResult;
    }
    void OpenStatus() override { m_log.Add("status open"); }
    void SetStatusText(const std::string& text) override { m_log.Add("text " + text); }
    void SetStatusProgress(int position) override { m_log.Add("progress " + std::to_string(position)); }
    void CloseStatus() override { m_log.Add("status close"); }
    void EndWait() override { m_log.Add("end wait"); }
    void ShowMessage(const std::string& text, const std::string& caption) override {
        m_log.Add("box " + caption + ": " + text);
    }
    bool AskServerSettings(FileTransfer::Result failure, ServerSettings& settings) override {
        m_log.Add("settings " + std::to_string(settings.port) + " " + settings.password +
                  (failure == FileTransfer::Result::LoginDenied ? " denied" : " failed"));
        if (m_answers.empty()) {
            return false;
        }
        settings = m_answers.front();
        m_answers.pop_front();
        return true;
    }
    void UpdateRow(const std::string& mac, const std::string& address, bool installed) override {
        m_log.Add("row " + mac + " " + address + (installed ? " installed" : " assigned"));
    }

    std::optional<InstallParams> m_wizardResult;
    std::optional<WizardRequest> m_request;
    std::deque<ServerSettings> m_answers;

  private:
    Log& m_log;
};

class InstallWorkerTest : public testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/install-worker-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_tmp = pattern;
        const char* old = getenv("TMPDIR");
        if (old != nullptr) {
            m_oldTmp = old;
        }
        setenv("TMPDIR", m_tmp.c_str(), 1);
        InstallParams params = InstallParams::ForCamera(kCameraAddress, 0, 0xC0A80A01, 0x08080808, 0);
        params.m_newAddress = kNewAddress;
        m_ui.m_wizardResult = params;
        m_target.mac = kMac;
        m_target.address = kCameraAddress;
        m_target.mask = 0;
        m_target.gateway = 0xC0A80A01;
        m_target.dns1 = 0x08080808;
    }

    void TearDown() override {
        // No ending leaves anything behind.
        EXPECT_TRUE(m_neighbours.m_entries.empty());
        EXPECT_TRUE(m_neighbours.m_routes.empty());
        DIR* dir = opendir(m_tmp.c_str());
        ASSERT_NE(dir, nullptr);
        int entries = 0;
        while (dirent* entry = readdir(dir)) {
            if (std::string(entry->d_name) != "." && std::string(entry->d_name) != "..") {
                ++entries;
            }
        }
        closedir(dir);
        EXPECT_EQ(entries, 0) << "temporary files left in " << m_tmp;
        rmdir(m_tmp.c_str());
        if (m_oldTmp.empty()) {
            unsetenv("TMPDIR");
        } else {
            setenv("TMPDIR", m_oldTmp.c_str(), 1);
        }
    }

    InstallOutcome Run(std::deque<Step> script) {
        InstallWorker::Platform platform{[this, script]() mutable {
                                             m_log.Add("echo open");
                                             IcmpEchoChannel::Opened opened;
                                             opened.failure = m_openFailure;
                                             opened.error = 1;
                                             if (m_openFailure == IcmpEchoChannel::Failure::None) {
                                                 opened.channel = std::make_unique<FakeChannel>(m_log, script, m_clock);
                                             }
                                             return opened;
                                         },
                                         m_neighbours,
                                         m_transfer,
                                         m_clock,
                                         m_diagnostics,
                                         [this](int code) { m_exitCodes.push_back(code); },
                                         kIdentifier,
                                         "config.ini"};
        InstallWorker worker(m_target, m_ui, platform);
        return worker.Run();
    }

    // Script: the address check's silence, then `silentAssign` unanswered requests, then the camera's answer.
    static std::deque<Step> Assigned(int silentAssign = 0) {
        std::deque<Step> script{{Step::Silence}};
        for (int i = 0; i < silentAssign; ++i) {
            script.push_back({Step::Silence});
        }
        script.push_back({Step::Answer});
        return script;
    }

    std::vector<int> Progress() const {
        std::vector<int> positions;
        for (const auto& e : m_log.Matching("progress ")) {
            positions.push_back(std::stoi(e.substr(9)));
        }
        return positions;
    }

    Log m_log;
    FakeClock m_clock{m_log};
    FakeNeighbours m_neighbours{m_log};
    FakeTransfer m_transfer{m_log};
    FakeUi m_ui{m_log};
    RecordingDiagnostics m_diagnostics;
    InstallTarget m_target;
    IcmpEchoChannel::Failure m_openFailure = IcmpEchoChannel::Failure::None;
    std::vector<int> m_exitCodes;
    std::string m_tmp;
    std::string m_oldTmp;
};

TEST_F(InstallWorkerTest, WholeInstallationInOrder) {
    std::deque<Step> script = Assigned();
    script.push_back({Step::Answer});   // restart wait: still up, ignored
    script.push_back({Step::Silence});  // restarting
    script.push_back({Step::Answer});   // back
    EXPECT_EQ(Run(script), InstallOutcome::Installed);
    EXPECT_THAT(m_log.events,
                ElementsAre("wizard", "sleep 300", "echo open", "status open", "neigh flush 192.168.10.100",
                            "progress 10", "send 192.168.10.100 seq 0", "sleep 10",
                            "text This IP is valid.\nSetting and waiting for response from server.", "progress 20",
                            "neigh add 4 192.168.10.100 94", "sleep 1000", "progress 30", "sleep 1000", "progress 40",
                            "send 192.168.10.100 seq 1", "row 00-1A-2B-3C-4D-5E 192.168.10.100 assigned",
                            "text This IP is assigned. Changing settings...", "ftp open", "sleep 1000",
                            "ftp connect 192.168.10.100:21 admin 001A2B3C4D5E", "progress 50", "ftp get config.ini",
                            "ftp put config.ini", "sleep 1000", "progress 60", "send 192.168.10.100 seq 0",
                            "sleep 1000", "progress 70", "send 192.168.10.100 seq 1", "sleep 1000", "progress 80",
                            "send 192.168.10.100 seq 2", "status close", "box Message: Install OK",
                            "row 00-1A-2B-3C-4D-5E 192.168.10.100 installed", "end wait", "neigh del 192.168.10.100"));
    // The wizard started from the row, the upload is the rewrite of the download.
    ASSERT_TRUE(m_ui.m_request.has_value());
    EXPECT_EQ(m_ui.m_request->address, kCameraAddress);
    EXPECT_EQ(m_ui.m_request->mask, 0u);
    std::istringstream in(m_transfer.m_remoteFile);
    std::ostringstream expected;
    RewriteConfigFile(in, expected, *m_ui.m_wizardResult);
    ASSERT_TRUE(m_transfer.m_uploaded.has_value());
    EXPECT_EQ(*m_transfer.m_uploaded, expected.str());
    EXPECT_THAT(*m_transfer.m_uploaded, HasSubstr("<reset system>\r\nYES\r\n"));
    EXPECT_TRUE(m_exitCodes.empty());
    // Replies are decoded for the diagnostics; the clock wrapped during the run.
    EXPECT_THAT(m_diagnostics.Text(Stream::Out), HasSubstr("64 bytes from 192.168.10.100: icmp_seq = 1."));
    EXPECT_THAT(m_diagnostics.Text(Stream::Out), HasSubstr("timed out\n"));
}

TEST_F(InstallWorkerTest, CancelledWizardLeavesNoTrace) {
    m_ui.m_wizardResult.reset();
    EXPECT_EQ(Run({}), InstallOutcome::WizardCancelled);
    EXPECT_THAT(m_log.events, ElementsAre("wizard"));
    EXPECT_TRUE(m_exitCodes.empty());
}

TEST_F(InstallWorkerTest, AnsweredAddressIsInUse) {
    EXPECT_EQ(Run({{Step::Answer}}), InstallOutcome::AddressInUse);
    const std::vector<std::string> tail(m_log.events.end() - 4, m_log.events.end());
    EXPECT_THAT(tail, ElementsAre("send 192.168.10.100 seq 0", "status close",
                                  "box Error: This IP address is invalid.\nPlease enter an valid IP then try again !",
                                  "end wait"));
    EXPECT_TRUE(m_log.Matching("neigh add").empty());
    EXPECT_TRUE(m_log.Matching("row").empty());
}

TEST_F(InstallWorkerTest, AssignmentTakesUpToNineRequests) {
    // A reply to the ninth request still counts; without one the installation fails.
    {
        m_transfer.m_password = "changed";
        std::deque<Step> script = Assigned(8);
        EXPECT_EQ(Run(script), InstallOutcome::SettingsNotChanged);  // no settings answer: login refused, cancelled
        EXPECT_EQ(m_log.Matching("send").size(), 10u);
        EXPECT_TRUE(m_log.Has("row 00-1A-2B-3C-4D-5E 192.168.10.100 assigned"));
    }
    m_log.events.clear();
    EXPECT_EQ(Run({{Step::Silence}}), InstallOutcome::AssignFailed);
    EXPECT_EQ(m_log.Matching("send").size(), 10u);
    EXPECT_THAT(Progress(), ElementsAre(10, 20, 30, 40, 50, 60, 70, 80, 90, 100, 110, 120));
    const std::vector<std::string> tail(m_log.events.end() - 4, m_log.events.end());
    EXPECT_THAT(tail, ElementsAre("status close", "box Error: Install Fail", "end wait", "neigh del 192.168.10.100"));
    EXPECT_TRUE(m_log.Matching("row").empty());
    EXPECT_EQ(m_diagnostics.Text(Stream::Out).find("timed out\n"), 0u);
}

TEST_F(InstallWorkerTest, RestartWaitNeedsSilenceThenAnAnswer) {
    m_transfer.m_password = "001A2B3C4D5E";
    struct Case {
        const char* name;
        std::vector<Step::Kind> restart;  // receives of the restart wait; the rest are silent
        InstallOutcome outcome;
        size_t restartSends;
    };
    const std::vector<Case> cases{
        {"answers before the first silence do not count",
         {Step::Answer, Step::Answer, Step::Answer},
         InstallOutcome::RestartFailed,
         15},
        {"an answer to the fifteenth request after silence counts",
         {Step::Answer, Step::Silence, Step::Silence, Step::Silence, Step::Silence, Step::Silence, Step::Silence,
          Step::Silence, Step::Silence, Step::Silence, Step::Silence, Step::Silence, Step::Silence, Step::Silence,
          Step::Answer},
         InstallOutcome::Installed,
         15},
        {"never silent", std::vector<Step::Kind>(15, Step::Answer), InstallOutcome::RestartFailed, 15},
        {"a send time-out is an attempt but not silence",
         {Step::SendTimeout, Step::Answer, Step::Silence, Step::Answer},
         InstallOutcome::Installed,
         4},
    };
    for (const Case& c : cases) {
        m_log.events.clear();
        std::deque<Step> script = Assigned();
        for (const Step::Kind kind : c.restart) {
            script.push_back({kind});
        }
        EXPECT_EQ(Run(script), c.outcome) << c.name;
        EXPECT_EQ(m_log.Matching("send").size(), 2 + c.restartSends) << c.name;
        if (c.outcome == InstallOutcome::RestartFailed) {
            EXPECT_TRUE(m_log.Has("box Error: Install Fail")) << c.name;
            EXPECT_EQ(m_log.events.back(), "neigh del 192.168.10.100") << c.name;
            // The failure after the camera took the address keeps its row showing the new address.
            EXPECT_TRUE(m_log.Has("row 00-1A-2B-3C-4D-5E 192.168.10.100 assigned")) << c.name;
            EXPECT_EQ(Progress().back(), 60 + 140) << c.name;  // grows by 10 per attempt, uncapped
        }
    }
}

TEST_F(InstallWorkerTest, LoginRetriesWithTheValuesLastEntered) {
    m_transfer.m_password = "secret";
    m_transfer.m_port = 2121;
    m_ui.m_answers = {{2121, "wrong"}, {2121, "secret"}};
    std::deque<Step> script = Assigned();
    script.push_back({Step::Silence});
    script.push_back({Step::Answer});
    EXPECT_EQ(Run(script), InstallOutcome::Installed);
    EXPECT_THAT(m_log.Matching("ftp connect"), ElementsAre("ftp connect 192.168.10.100:21 admin 001A2B3C4D5E",
                                                           "ftp connect 192.168.10.100:2121 admin wrong",
                                                           "ftp connect 192.168.10.100:2121 admin secret"));
    EXPECT_THAT(m_log.Matching("settings"),
                ElementsAre("settings 21 001A2B3C4D5E denied", "settings 2121 wrong denied"));
}

TEST_F(InstallWorkerTest, ConfigurationFailuresKeepTheNewAddress) {
    struct Case {
        const char* name;
        bool openOk, downloadOk, uploadOk, loginOk;
    };
    for (const Case& c : std::vector<Case>{{"internet handle", false, true, true, true},
                                           {"login cancelled", true, true, true, false},
                                           {"download", true, false, true, true},
                                           {"upload refused", true, true, false, true}}) {
        m_log.events.clear();
        m_transfer.m_openOk = c.openOk;
        m_transfer.m_downloadOk = c.downloadOk;
        m_transfer.m_uploadOk = c.uploadOk;
        m_transfer.m_password = c.loginOk ? "001A2B3C4D5E" : "other";
        EXPECT_EQ(Run(Assigned()), InstallOutcome::SettingsNotChanged) << c.name;
        const std::vector<std::string> tail(m_log.events.end() - 4, m_log.events.end());
        EXPECT_THAT(tail, ElementsAre("status close", "box Error: IP address is set, but\nsettings are not changed",
                                      "end wait", "neigh del 192.168.10.100"))
            << c.name;
        EXPECT_TRUE(m_log.Has("row 00-1A-2B-3C-4D-5E 192.168.10.100 assigned")) << c.name;
    }
}

TEST_F(InstallWorkerTest, FatalEndingsExitWith65535AfterCleanup) {
    struct Case {
        const char* name;
        IcmpEchoChannel::Failure openFailure;
        std::deque<Step> script;
        std::string box;  // empty: no box, the line goes to stderr
        std::string stderrText;
    };
    const std::vector<Case> cases{
        {"socket", IcmpEchoChannel::Failure::Socket, {}, "box Error: Initial WinSock Failed: 1\n", ""},
        {"receive time-out option",
         IcmpEchoChannel::Failure::ReceiveTimeout,
         {},
         "box Error: Failed to set recv timeout: 1\n",
         ""},
        {"send time-out option",
         IcmpEchoChannel::Failure::SendTimeout,
         {},
         "box Error: Failed to set send timeout: 1\n",
         ""},
        {"first send", IcmpEchoChannel::Failure::None, {{Step::SendFail}}, "box Error: sendto failed: 101\n", ""},
        {"first receive", IcmpEchoChannel::Failure::None, {{Step::Fail}}, "box Error: recvfrom failed: 104\n", ""},
        {"assignment send",
         IcmpEchoChannel::Failure::None,
         {{Step::Silence}, {Step::SendFail}},
         "",
         "sendto failed: 101\n"},
        {"restart receive",
         IcmpEchoChannel::Failure::None,
         {{Step::Silence}, {Step::Answer}, {Step::Fail}},
         "",
         "recvfrom failed: 104\n"},
    };
    for (const Case& c : cases) {
        m_log.events.clear();
        m_exitCodes.clear();
        m_diagnostics.Clear();
        m_openFailure = c.openFailure;
        EXPECT_EQ(Run(c.script), InstallOutcome::Fatal) << c.name;
        EXPECT_THAT(m_exitCodes, ElementsAre(65535)) << c.name;
        if (!c.box.empty()) {
            EXPECT_TRUE(m_log.Has(c.box)) << c.name;
        } else {
            EXPECT_TRUE(m_log.Matching("box").empty()) << c.name;
            EXPECT_THAT(m_diagnostics.Text(Stream::Err), HasSubstr(c.stderrText)) << c.name;
        }
        if (c.name == std::string("first receive")) {
            EXPECT_TRUE(m_log.Has("status close"));
        }
    }
}

TEST_F(InstallWorkerTest, AddressOfAnotherSiteGoesThroughAHostRoute) {
    m_ui.m_wizardResult->m_newAddress = kForeignAddress;
    std::deque<Step> script = Assigned();
    script.push_back({Step::Silence});
    script.push_back({Step::Answer});
    EXPECT_EQ(Run(script), InstallOutcome::Installed);
    EXPECT_TRUE(m_log.Has("route add 4 10.10.10.10"));
    EXPECT_TRUE(m_log.Has("neigh add 4 10.10.10.10 94"));
    EXPECT_TRUE(m_log.Has("ftp connect 10.10.10.10:21 admin 001A2B3C4D5E"));
    EXPECT_EQ(m_log.events.back(), "route del 4 10.10.10.10");

    // A camera without an address is reached where its DHCP packets came from; no way to it fails the install.
    m_log.events.clear();
    m_target.address = 0;
    m_target.arrivalInterface = 7;
    m_neighbours.m_failRoute = true;
    EXPECT_EQ(Run({}), InstallOutcome::AssignFailed);
    EXPECT_TRUE(m_log.Has("route add 7 10.10.10.10"));
    EXPECT_TRUE(m_log.Has("box Error: Install Fail"));
    EXPECT_TRUE(m_log.Matching("send").empty());

    m_log.events.clear();
    m_target.arrivalInterface.reset();
    EXPECT_EQ(Run({}), InstallOutcome::AssignFailed);
    EXPECT_TRUE(m_log.Matching("route add").empty());
}

TEST_F(InstallWorkerTest, NeighbourEntryFailureEndsLikeNoAnswer) {
    m_neighbours.m_failAdd = true;
    EXPECT_EQ(Run(Assigned()), InstallOutcome::AssignFailed);
    EXPECT_EQ(m_log.Matching("send").size(), 1u);
    EXPECT_TRUE(m_log.Has("box Error: Install Fail"));
    EXPECT_THAT(m_diagnostics.Text(Stream::Err), HasSubstr("refused"));
}

TEST(InstallWorkerPasswordTest, MacWithoutSeparatorsUpperCase) {
    EXPECT_EQ(InstallWorker::DefaultPassword("00-1a-2B-3c-4D-5e"), "001A2B3C4D5E");
    EXPECT_EQ(InstallWorker::DefaultPassword("AA:BB:CC:DD:EE:FF"), "AABBCCDDEEFF");
}

}  // namespace
