#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <dirent.h>
#include <linux/neighbour.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "ConfigFileRewrite.h"
#include "Diagnostics.h"
#include "EchoRequest.h"
#include "InstallFakes.h"
#include "InstallSession.h"
#include "InstallWorker.h"
#include "RecordStore.h"
#include "TempFolder.h"

namespace {

using Stream = Diagnostics::Stream;
using testing::ElementsAre;
using testing::HasSubstr;

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
        ASSERT_FALSE(m_records.empty());
        m_target.mac = *MacAddress::Parse(kMac);
        m_target.address = kCameraAddress;
        m_target.mask = 0;
        m_target.gateway = 0xC0A80A01;
        m_target.dns1 = 0x08080808;
        m_target.dns2 = 0;
        InstallParams params = InstallParams::ForCamera(m_target);
        params.m_newAddress = kNewAddress;
        m_ui.m_wizardResult = params;
    }

    void TearDown() override {
        // No ending leaves anything behind.
        EXPECT_TRUE(m_assignment.m_begun.empty());
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
        m_transfer.m_stored.reset();
        InstallWorker::Platform platform{[this, script]() mutable {
                                             m_log.Add("echo open");
                                             IcmpEchoChannel::Opened opened;
                                             opened.failure = m_openFailure;
                                             opened.error = 1;
                                             if (m_openFailure == IcmpEchoChannel::Failure::None) {
                                                 opened.channel = std::make_unique<FakeChannel>(m_log, script, m_clock,
                                                                                                m_datagram, m_waits);
                                             }
                                             return opened;
                                         },
                                         m_assignment,
                                         m_transfer,
                                         m_clock,
                                         m_diagnostics,
                                         [this](int code) { m_exitCodes.push_back(code); },
                                         kIdentifier,
                                         "config.ini",
                                         m_records + "/camera-setup",
                                         [this] { return m_wallMs += 1000; }};
        InstallWorker worker(m_target, m_ui, platform, *m_stop);
        if (m_restore) {
            worker.SetRestore(*m_restore);
        }
        m_worker = &worker;
        const InstallResult result = worker.Run();
        m_record = worker.Record();
        m_worker = nullptr;
        m_failedStep = result.failedStep;
        return result.outcome;
    }

    // A whole installation whose camera restarts and comes back.
    InstallOutcome RunWhole() {
        std::deque<Step> script = Assigned();
        script.push_back({Step::Silence});
        script.push_back({Step::Answer});
        return Run(script);
    }

    std::string CameraFolder() const { return m_records + "/camera-setup/" + std::string(kMac); }

    static std::string Read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    static unsigned Mode(const std::string& path) {
        struct stat st {};
        return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
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
    FakeAssignment m_assignment{m_log};
    FakeTransfer m_transfer{m_log};
    FakeUi m_ui{m_log};
    RecordingDiagnostics m_diagnostics;
    CameraRecord m_target;
    IcmpEchoChannel::Failure m_openFailure = IcmpEchoChannel::Failure::None;
    bool m_datagram = false;
    std::vector<int> m_waits;  // the time-out of every receive
    std::vector<int> m_exitCodes;
    std::unique_ptr<StopSignal> m_stop = std::make_unique<StopSignal>();
    InstallWorker* m_worker = nullptr;               // while Run runs
    TransferStep m_failedStep = TransferStep::None;  // of the last Run
    std::string m_tmp;
    std::string m_oldTmp;
    const TempFolder m_recordsFolder{"install-records-test"};
    const std::string m_records = m_recordsFolder.Path();  // the user's data folder
    int64_t m_wallMs = 1765295341123;
    std::optional<InstallWorker::Restore> m_restore;
    std::optional<InstallRecord> m_record;  // of the last Run
};

TEST_F(InstallWorkerTest, WholeInstallationInOrder) {
    std::deque<Step> script = Assigned();
    script.push_back({Step::Answer});   // restart wait: still up, ignored
    script.push_back({Step::Silence});  // restarting
    script.push_back({Step::Answer});   // back
    EXPECT_EQ(Run(script), InstallOutcome::Installed);
    EXPECT_THAT(
        m_log.events,
        ElementsAre("wizard", "sleep 300", "echo open", "status open", "install begin 4 192.168.10.100 94",
                    "progress 10", "send 192.168.10.100 seq 0", "neigh get 192.168.10.100", "sleep 10",
                    "text This IP is valid.\nSetting and waiting for response from server.", "progress 20",
                    "sleep 1000", "progress 30", "sleep 1000", "progress 40", "send 192.168.10.100 seq 1 to the camera",
                    "row 00-1A-2B-3C-4D-5E 192.168.10.100 assigned", "text This IP is assigned. Changing settings...",
                    "ftp open", "sleep 1000", "ftp connect 192.168.10.100:21 admin 001A2B3C4D5E", "progress 50",
                    "ftp get config.ini", "ftp put config.ini", "sleep 1000", "progress 60",
                    "send 192.168.10.100 seq 0", "sleep 1000", "progress 70", "send 192.168.10.100 seq 1", "sleep 1000",
                    "progress 80", "send 192.168.10.100 seq 2", "ftp open",
                    "ftp connect 192.168.10.100:21 admin 001A2B3C4D5E", "ftp get config.ini", "status close",
                    "box Message: Install OK", "row 00-1A-2B-3C-4D-5E 192.168.10.100 installed", "end wait",
                    "install end 192.168.10.100"));
    // The wizard started from the row, the upload is the rewrite of the download.
    EXPECT_EQ(m_ui.m_request, m_target);
    std::istringstream in(m_transfer.m_remoteFile);
    std::ostringstream expected;
    RewriteConfigFile(in, expected, *m_ui.m_wizardResult);
    EXPECT_THAT(m_transfer.m_puts, ElementsAre(expected.str()));
    EXPECT_THAT(m_transfer.m_puts[0], HasSubstr("<reset system>\r\nYES\r\n"));
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
    const std::vector<std::string> tail(m_log.events.end() - 5, m_log.events.end());
    EXPECT_THAT(tail, ElementsAre("send 192.168.10.100 seq 0", "status close",
                                  "box Error: This IP address is invalid.\nPlease enter an valid IP then try again !",
                                  "end wait", "install end 192.168.10.100"));
    EXPECT_TRUE(m_log.Matching("row").empty());
}

TEST_F(InstallWorkerTest, OnlyTheAnswerToTheRequestCounts) {
    // Each packet arrives in the address check, the assignment loop and the restart wait after the camera fell
    // silent, and must count in none of them: the address is free, the camera answers its second request, and
    // the camera that never came back fails the installation.
    struct Case {
        const char* name;
        Step::Kind packet;
        bool inAddressCheck;  // a late reply can only follow an earlier request
        bool datagram = false;
        const char* line = "";
    };
    const std::vector<Case> cases{
        {"reply from another address", Step::OtherSender, true},
        {"another process's reply", Step::OtherIdentifier, true, false, "someone else's packet!\n"},
        {"request identifier on a datagram socket", Step::OtherIdentifier, true, true, "someone else's packet!\n"},
        {"echo request of another host", Step::EchoRequestIn, true, false, "non-echo type 8 recvd\n"},
        {"host unreachable", Step::Unreachable, true, false, "non-echo type 3 recvd\n"},
        {"late reply", Step::LateReply, false, false, "late reply to icmp_seq = 0 ignored\n"},
        {"short reply", Step::ShortReply, true},
    };
    for (const Case& c : cases) {
        m_log.events.clear();
        m_diagnostics.Clear();
        m_waits.clear();
        m_datagram = c.datagram;
        std::deque<Step> script;
        if (c.inAddressCheck) {
            script.push_back({c.packet});
        }
        for (const Step::Kind kind : {Step::Silence, c.packet, Step::Silence, Step::Answer, Step::Silence, c.packet}) {
            script.push_back({kind});
        }
        EXPECT_EQ(Run(script), InstallOutcome::RestartFailed) << c.name;
        EXPECT_EQ(m_log.Matching("send").size(), 1u + 2u + 15u) << c.name;
        EXPECT_TRUE(m_log.Has("box Error: Install Fail")) << c.name;
        EXPECT_THAT(m_diagnostics.Text(Stream::Out) + m_diagnostics.Text(Stream::Err), HasSubstr(c.line)) << c.name;
        // After each stray packet the wait goes on for the rest of its 2 s.
        EXPECT_EQ(std::count(m_waits.begin(), m_waits.end(), 1700), c.inAddressCheck ? 3 : 2) << c.name;
        EXPECT_EQ(*std::max_element(m_waits.begin(), m_waits.end()), 2000) << c.name;
    }
}

TEST_F(InstallWorkerTest, AddressHeldByAnotherHardwareAddressIsInUse) {
    // The echo went unanswered; the kernel's neighbour table still knows who answered ARP for the address.
    const MacAddress camera({0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E});
    const MacAddress other({0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5F});
    struct Case {
        const char* name;
        std::optional<NeighbourEntry> entry;
        bool inUse;
    };
    const std::vector<Case> cases{
        {"reachable, another host", NeighbourEntry{NUD_REACHABLE, other, kLanInterface}, true},
        {"stale, another host", NeighbourEntry{NUD_STALE, other, kLanInterface}, true},
        {"probe, another host", NeighbourEntry{NUD_PROBE, other, kLanInterface}, true},
        {"reachable, the camera itself", NeighbourEntry{NUD_REACHABLE, camera, kLanInterface}, false},
        {"nobody answered ARP", NeighbourEntry{NUD_FAILED, std::nullopt, kLanInterface}, false},
        {"no entry", std::nullopt, false},
    };
    for (const Case& c : cases) {
        m_log.events.clear();
        m_assignment.m_kernelEntry = c.entry;
        std::deque<Step> script = Assigned();
        script.push_back({Step::Silence});
        script.push_back({Step::Answer});
        EXPECT_EQ(Run(script), c.inUse ? InstallOutcome::AddressInUse : InstallOutcome::Installed) << c.name;
        EXPECT_EQ(m_log.Has("box Error: This IP address is invalid.\nPlease enter an valid IP then try again !"),
                  c.inUse)
            << c.name;
        if (c.inUse) {
            EXPECT_EQ(m_log.Matching("send").size(), 1u) << c.name;
        }
    }
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
    EXPECT_THAT(tail, ElementsAre("status close", "box Error: Install Fail", "end wait", "install end 192.168.10.100"));
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
            EXPECT_EQ(m_log.events.back(), "install end 192.168.10.100") << c.name;
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
                                                           "ftp connect 192.168.10.100:2121 admin secret",
                                                           // the read-back logs in as the installation did
                                                           "ftp connect 192.168.10.100:2121 admin secret"));
    EXPECT_THAT(m_log.Matching("settings"),
                ElementsAre("settings 21 001A2B3C4D5E denied", "settings 2121 wrong denied"));
}

TEST_F(InstallWorkerTest, ConfigurationFailuresNeverLeaveACutFile) {
    using R = FileTransfer::Result;
    const std::string file = m_transfer.m_remoteFile;
    std::istringstream in(file);
    std::ostringstream rewritten;
    RewriteConfigFile(in, rewritten, *m_ui.m_wizardResult);
    const std::string notChanged = "box Error: IP address is set, but\nsettings are not changed";
    const std::string incomplete = "box Error: IP address is set, but\nthe configuration file may be incomplete";
    struct Case {
        const char* name;
        bool openOk = true, loginOk = true, downloadOk = true;
        size_t delivered = std::string::npos;
        std::optional<uint64_t> announced;
        std::deque<R> uploads;
        InstallOutcome outcome = InstallOutcome::SettingsNotChanged;
        std::string box;
        std::vector<std::string> puts;
        TransferStep failedStep = TransferStep::None;
    };
    const std::vector<Case> cases{
        {"internet handle",
         false,
         true,
         true,
         std::string::npos,
         {},
         {},
         InstallOutcome::SettingsNotChanged,
         notChanged,
         {},
         TransferStep::Open},
        {"login cancelled",
         true,
         false,
         true,
         std::string::npos,
         {},
         {},
         InstallOutcome::SettingsNotChanged,
         notChanged,
         {},
         TransferStep::Login},
        {"download",
         true,
         true,
         false,
         std::string::npos,
         {},
         {},
         InstallOutcome::SettingsNotChanged,
         notChanged,
         {},
         TransferStep::Download},
        {"empty download",
         true,
         true,
         true,
         0,
         {},
         {},
         InstallOutcome::SettingsNotChanged,
         notChanged,
         {},
         TransferStep::Download},
        {"shorter than announced",
         true,
         true,
         true,
         20,
         file.size(),
         {},
         InstallOutcome::SettingsNotChanged,
         notChanged,
         {},
         TransferStep::Download},
        {"whole as announced",
         true,
         true,
         true,
         std::string::npos,
         file.size(),
         {},
         InstallOutcome::Installed,
         "box Message: Install OK",
         {rewritten.str()},
         TransferStep::None},
        {"upload refused",
         true,
         true,
         true,
         std::string::npos,
         {},
         {R::Failed},
         InstallOutcome::SettingsNotChanged,
         notChanged,
         {rewritten.str()},
         TransferStep::Upload},
        {"upload broke off, original put back",
         true,
         true,
         true,
         std::string::npos,
         {},
         {R::Interrupted, R::Ok},
         InstallOutcome::SettingsNotChanged,
         notChanged,
         {rewritten.str(), file},
         TransferStep::Upload},
        {"upload broke off, putting back failed",
         true,
         true,
         true,
         std::string::npos,
         {},
         {R::Interrupted, R::Failed},
         InstallOutcome::SettingsIncomplete,
         incomplete,
         {rewritten.str(), file},
         TransferStep::Upload},
        {"upload broke off twice",
         true,
         true,
         true,
         std::string::npos,
         {},
         {R::Interrupted, R::Interrupted},
         InstallOutcome::SettingsIncomplete,
         incomplete,
         {rewritten.str(), file},
         TransferStep::Upload},
    };
    for (const Case& c : cases) {
        m_log.events.clear();
        m_transfer.m_openOk = c.openOk;
        m_transfer.m_downloadOk = c.downloadOk;
        m_transfer.m_delivered = c.delivered;
        m_transfer.m_announced = c.announced;
        m_transfer.m_uploadResults = c.uploads;
        m_transfer.m_puts.clear();
        m_transfer.m_password = c.loginOk ? "001A2B3C4D5E" : "other";
        std::deque<Step> script = Assigned();
        script.push_back({Step::Silence});
        script.push_back({Step::Answer});
        EXPECT_EQ(Run(script), c.outcome) << c.name;
        EXPECT_EQ(m_failedStep, c.failedStep) << c.name;
        EXPECT_TRUE(m_log.Has(c.box)) << c.name;
        EXPECT_EQ(m_log.events.back(), "install end 192.168.10.100") << c.name;
        EXPECT_TRUE(m_log.Has("row 00-1A-2B-3C-4D-5E 192.168.10.100 assigned")) << c.name;
        EXPECT_EQ(m_transfer.m_puts, c.puts) << c.name;
    }
}

TEST_F(InstallWorkerTest, StartUpFailuresExitWith65535AfterCleanup) {
    struct Case {
        IcmpEchoChannel::Failure openFailure;
        std::string box;
    };
    const std::vector<Case> cases{
        {IcmpEchoChannel::Failure::Socket, "box Error: Initial WinSock Failed: 1\n"},
        {IcmpEchoChannel::Failure::ReceiveTimeout, "box Error: Failed to set recv timeout: 1\n"},
        {IcmpEchoChannel::Failure::SendTimeout, "box Error: Failed to set send timeout: 1\n"},
    };
    for (const Case& c : cases) {
        m_log.events.clear();
        m_exitCodes.clear();
        m_openFailure = c.openFailure;
        EXPECT_EQ(Run({}), InstallOutcome::Fatal) << c.box;
        EXPECT_THAT(m_exitCodes, ElementsAre(65535)) << c.box;
        EXPECT_TRUE(m_log.Has(c.box)) << c.box;
        EXPECT_TRUE(m_log.Matching("send").empty()) << c.box;
    }
}

TEST_F(InstallWorkerTest, NetworkErrorsEndTheInstallationNotTheProcess) {
    struct Case {
        const char* name;
        std::deque<Step> script;
        std::string line;  // on stderr
        int echoRefusal = 0;
    };
    const std::vector<Case> cases{
        {"address check send", {{Step::SendFail}}, "sendto failed: 101\n"},
        {"address check send time-out", {{Step::SendTimeout}}, "sendto timed out\n"},
        {"address check receive", {{Step::Fail}}, "recvfrom failed: 104\n"},
        {"assignment send refused by the helper", {{Step::Silence}}, "sendto failed: 16\n", EBUSY},
        {"assignment receive", {{Step::Silence}, {Step::Silence}, {Step::Fail}}, "recvfrom failed: 104\n"},
        {"restart wait send", {{Step::Silence}, {Step::Answer}, {Step::SendFail}}, "sendto failed: 101\n"},
        {"restart wait send reported late",
         {{Step::Silence}, {Step::Answer}, {Step::SendFailReported}},
         "sendto failed: 101\n"},
        {"restart wait receive",
         {{Step::Silence}, {Step::Answer}, {Step::Silence}, {Step::Fail}},
         "recvfrom failed: 104\n"},
    };
    for (const Case& c : cases) {
        m_log.events.clear();
        m_diagnostics.Clear();
        m_assignment.m_echoRefusal = c.echoRefusal;
        EXPECT_EQ(Run(c.script), InstallOutcome::NetworkFailed) << c.name;
        EXPECT_TRUE(m_exitCodes.empty()) << c.name;
        EXPECT_THAT(m_diagnostics.Text(Stream::Err), HasSubstr(c.line)) << c.name;
        EXPECT_THAT(std::vector<std::string>(m_log.events.end() - 4, m_log.events.end()),
                    ElementsAre("status close", "box Error: Install Fail", "end wait", "install end 192.168.10.100"))
            << c.name;
    }
}

// The interface that reaches the new address, or else the camera; an address of another site is the helper's
// to route.
TEST_F(InstallWorkerTest, InstallationIsBegunOnTheInterfaceThatReachesTheCamera) {
    m_ui.m_wizardResult->m_newAddress = kForeignAddress;
    std::deque<Step> script = Assigned();
    script.push_back({Step::Silence});
    script.push_back({Step::Answer});
    EXPECT_EQ(Run(script), InstallOutcome::Installed);
    EXPECT_TRUE(m_log.Has("install begin 4 10.10.10.10 94"));
    EXPECT_TRUE(m_log.Has("ftp connect 10.10.10.10:21 admin 001A2B3C4D5E"));
    EXPECT_EQ(m_log.events.back(), "install end 10.10.10.10");

    // A camera without an address is reached where its DHCP packets came from; no way to it fails the install.
    m_log.events.clear();
    m_target.address = 0;
    m_target.arrivalInterface = 7;
    EXPECT_EQ(Run(script), InstallOutcome::Installed);
    EXPECT_TRUE(m_log.Has("install begin 7 10.10.10.10 94"));

    m_log.events.clear();
    m_target.arrivalInterface.reset();
    EXPECT_EQ(Run({}), InstallOutcome::AssignFailed);
    EXPECT_TRUE(m_log.Matching("install").empty());
    EXPECT_TRUE(m_log.Matching("send").empty());
}

// Whatever ends the installation, what the helper began is ended exactly once, and only when it was begun.
TEST_F(InstallWorkerTest, EveryEndingEndsWhatWasBegunOnce) {
    std::deque<Step> installed = Assigned();
    installed.push_back({Step::Silence});
    installed.push_back({Step::Answer});
    const std::string inUse = "box Error: This IP address is invalid.\nPlease enter an valid IP then try again !";
    const std::string failed = "box Error: Install Fail";
    struct Case {
        const char* name;
        int beginRefusal;
        int echoRefusal;
        std::deque<Step> script;
        std::string stopAt;  // stop requested after this event
        InstallOutcome outcome;
        std::string box;
        size_t sends;
        size_t ends;
    };
    const std::vector<Case> cases{
        {"begin refused in use", EADDRINUSE, 0, installed, "", InstallOutcome::AddressInUse, inUse, 0, 0},
        // The helper's ARP probe heard another host: the first echo to the camera is refused, no other is tried.
        {"another host answers the probe", 0, EADDRINUSE, {}, "", InstallOutcome::AddressInUse, inUse, 2, 1},
        {"begin refused", EPERM, 0, installed, "", InstallOutcome::AssignFailed, failed, 0, 0},
        {"begin unanswered", ETIMEDOUT, 0, installed, "", InstallOutcome::AssignFailed, failed, 0, 1},
        {"no reply to the assignment", 0, 0, {}, "", InstallOutcome::AssignFailed, failed, 10, 1},
        {"stopped while assigning",
         0,
         0,
         {},
         "send 192.168.10.100 seq 3 to the camera",
         InstallOutcome::Stopped,
         "",
         4,
         1},
        {"installed", 0, 0, installed, "", InstallOutcome::Installed, "box Message: Install OK", 4, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        m_log.events.clear();
        m_diagnostics.Clear();
        m_assignment.m_beginRefusal = c.beginRefusal;
        m_assignment.m_echoRefusal = c.echoRefusal;
        m_stop = std::make_unique<StopSignal>();
        StopSignal* stop = m_stop.get();
        m_log.onEvent = [&c, stop](const std::string& event) {
            if (event == c.stopAt) {
                stop->Request();
            }
        };
        EXPECT_EQ(Run(c.script), c.outcome);
        m_log.onEvent = nullptr;
        EXPECT_EQ(m_log.Matching("send").size(), c.sends);
        EXPECT_EQ(m_log.Matching("install end").size(), c.ends);
        EXPECT_EQ(m_log.Matching("box"), c.box.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.box});
        if (c.beginRefusal != 0 || c.echoRefusal != 0) {
            EXPECT_THAT(m_diagnostics.Text(Stream::Err), HasSubstr("refused"));
        }
    }
}

// The holder's stop, whenever it comes, ends the installation without a message and with the usual cleanup; a
// cleanup from another thread ends it too, and nothing is added after it.
TEST_F(InstallWorkerTest, StopOrOutsideCleanupEndsTheInstallationAndNothingIsAddedAfter) {
    std::deque<Step> restarting = Assigned();
    restarting.push_back({Step::Silence});
    restarting.push_back({Step::Answer});
    const struct {
        const char* at;  // the event after which it comes
        bool cleanUpOnly;
        InstallOutcome outcome;
        const char* neverAfter;  // an event that must not follow
    } cases[] = {
        {"wizard", false, InstallOutcome::Stopped, "echo open"},
        {"send 192.168.10.100 seq 0", false, InstallOutcome::Stopped, "send 192.168.10.100 seq 1"},
        {"sleep 1000", false, InstallOutcome::Stopped, "send"},
        {"ftp connect 192.168.10.100:21 admin 001A2B3C4D5E", false, InstallOutcome::Stopped, "ftp get"},
        {"ftp put config.ini", false, InstallOutcome::Stopped, "send"},
        {"send 192.168.10.100 seq 0", true, InstallOutcome::AssignFailed, "send 192.168.10.100 seq 1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.at);
        m_log.events.clear();
        m_stop = std::make_unique<StopSignal>();
        StopSignal* stop = m_stop.get();
        m_log.onEvent = [&, stop](const std::string& event) {
            if (event == c.at && c.cleanUpOnly) {
                m_worker->CleanUp();
            } else if (event == c.at) {
                stop->Request();
            }
        };
        const InstallOutcome outcome = Run(restarting);
        m_log.onEvent = nullptr;
        EXPECT_EQ(outcome, c.outcome);
        const auto at = std::find(m_log.events.begin(), m_log.events.end(), c.at);
        ASSERT_NE(at, m_log.events.end());
        EXPECT_TRUE(
            std::none_of(at, m_log.events.end(), [&](const std::string& e) { return e.rfind(c.neverAfter, 0) == 0; }));
        if (c.outcome == InstallOutcome::Stopped) {
            EXPECT_TRUE(m_log.Matching("box").empty());
            EXPECT_TRUE(m_exitCodes.empty());
        }
        EXPECT_EQ(m_log.Matching("install end").size(), m_log.Matching("install begin").size());
    }
}

TEST(InstallSession, HolderStopsAndJoinsWhateverTheBodyWaitsFor) {
    std::atomic<bool> ended{false};
    {
        InstallSession session([&](const StopSignal& stop) {
            stop.WaitMs(60'000);
            ended = true;
            return InstallOutcome::Stopped;
        });
        EXPECT_TRUE(session.Running());
    }  // a holder going away stops and joins
    EXPECT_TRUE(ended);

    InstallSession finished([](const StopSignal&) { return InstallOutcome::Installed; });
    EXPECT_EQ(finished.Join(), InstallOutcome::Installed);
    EXPECT_FALSE(finished.Running());
    EXPECT_EQ(finished.Join(), InstallOutcome::Installed);
}

}  // namespace

TEST_F(InstallWorkerTest, BackupAndRecordAreKeptBeforeTheUpload) {
    m_log.onEvent = [this](const std::string& event) {
        if (event == "ftp put config.ini") {
            // Already on disk when the upload starts.
            EXPECT_EQ(RecordStore(m_records + "/camera-setup").Records(m_target.mac).size(), 1u);
        }
    };
    EXPECT_EQ(RunWhole(), InstallOutcome::Installed);
    ASSERT_TRUE(m_record);
    const RecordStore store(m_records + "/camera-setup");
    EXPECT_EQ(Read(store.PreviousPath(*m_record)), m_transfer.m_remoteFile);
    EXPECT_EQ(Read(store.WrittenPath(*m_record)), m_transfer.m_puts.at(0));
    for (const std::string& folder : {m_records + "/camera-setup", CameraFolder()}) {
        EXPECT_EQ(Mode(folder), 0700u) << folder;
    }
    for (const std::string& file :
         {store.PreviousPath(*m_record), store.WrittenPath(*m_record), store.RecordPath(*m_record)}) {
        EXPECT_EQ(Mode(file), 0600u) << file;
    }
    const std::vector<InstallRecord> kept = store.Records(m_target.mac);
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(kept[0], *m_record);
    EXPECT_EQ(kept[0].outcome, "installed");
    EXPECT_EQ(kept[0].readBack, ReadBack::Verified);
    EXPECT_EQ(kept[0].time, "2025-12-09T15:49:02.123Z");
    EXPECT_EQ(kept[0].oldAddress, kCameraAddress);
    EXPECT_EQ(kept[0].newAddress, kNewAddress);
    EXPECT_EQ(kept[0].mask, 0xFFFFFF00u);
    EXPECT_THAT(kept[0].changed, ElementsAre(ChangedTag{"<subnet mask>", "255.0.0.0", "255.255.255.0", false}));
    // A second installation keeps the first pair.
    m_log.onEvent = nullptr;
    EXPECT_EQ(RunWhole(), InstallOutcome::Installed);
    EXPECT_EQ(store.Records(m_target.mac).size(), 2u);
}

TEST_F(InstallWorkerTest, BackupThatCannotBeKeptEndsTheInstallationBeforeTheUpload) {
    struct Case {
        const char* name;
        std::function<void()> spoil;
        std::string path;  // named in the message
    };
    const std::vector<Case> cases{
        {"data folder is a file", [this] { std::ofstream(m_records + "/camera-setup") << "x"; },
         m_records + "/camera-setup"},
        {"camera's folder is a file",
         [this] {
             std::filesystem::create_directories(m_records + "/camera-setup");
             std::ofstream(CameraFolder()) << "x";
         },
         CameraFolder()},
    };
    for (const Case& c : cases) {
        std::filesystem::remove_all(m_records + "/camera-setup");
        m_log.events.clear();
        m_transfer.m_puts.clear();
        c.spoil();
        EXPECT_EQ(RunWhole(), InstallOutcome::BackupFailed) << c.name;
        EXPECT_TRUE(m_transfer.m_puts.empty()) << c.name;
        const std::vector<std::string> boxes = m_log.Matching("box ");
        ASSERT_EQ(boxes.size(), 1u) << c.name;
        EXPECT_THAT(boxes[0], HasSubstr(std::string("box Error: ") + kBackupFailedText)) << c.name;
        EXPECT_THAT(boxes[0], HasSubstr(c.path + ": ")) << c.name;
        EXPECT_EQ(m_log.events.back(), "install end 192.168.10.100") << c.name;
    }
}

TEST_F(InstallWorkerTest, ReadBackJudgesTheCameraByMeaning) {
    m_transfer.m_remoteFile =
        "<install enabled>\nYES\n<subnet mask>\n255.0.0.0\n<gateway ip>\n10.0.0.1\n<SSID>\nold\n<reset system>\nNO\n";
    const auto replace = [](std::string from, std::string to) {
        return [from, to](const std::string& file) {
            std::string out = file;
            out.replace(out.find(from), from.size(), to);
            return out;
        };
    };
    struct Case {
        const char* name;
        std::function<std::string(const std::string&)> camera;  // what it makes of the upload
        bool readable;
        InstallOutcome outcome;
        ReadBack readBack;
        std::vector<std::string> tags;  // differing
        const char* status = "";
    };
    const std::vector<Case> cases{
        {"kept as written", nullptr, true, InstallOutcome::Installed, ReadBack::Verified, {}},
        {"rewritten in its own format",
         [replace](const std::string& file) {
             std::string out;
             for (char ch : file) {
                 if (ch != '\r') {
                     out += ch;
                 }
             }
             return replace("NO\n<subnet", "no\n<subnet")(replace(
                 "255.255.255.0", " 255.255.255.000")(replace("<reset system>\nYES", "<reset system>\nNO")(out)));
         },
         true,
         InstallOutcome::Installed,
         ReadBack::Verified,
         {}},
        {"gateway put back",
         replace("192.168.10.1", "10.0.0.1"),
         true,
         InstallOutcome::NotKept,
         ReadBack::Differs,
         {"<gateway ip>"},
         "text The camera did not keep: <gateway ip>"},
        {"mask dropped",
         replace("<subnet mask>\r\n255.255.255.0\r\n", ""),
         true,
         InstallOutcome::NotKept,
         ReadBack::Differs,
         {"<subnet mask>"},
         "text The camera did not keep: <subnet mask>"},
        {"SSID put back",
         replace("<SSID>\r\n\r\n", "<SSID>\r\nold\r\n"),
         true,
         InstallOutcome::Installed,
         ReadBack::Differs,
         {"<SSID>"},
         "text Warning: the camera reads back otherwise: <SSID>"},
        {"file cannot be fetched again", nullptr, false, InstallOutcome::Installed, ReadBack::Unreadable, {}},
    };
    for (const Case& c : cases) {
        m_log.events.clear();
        m_transfer.m_readBack = c.camera;
        m_transfer.m_readBackOk = c.readable;
        EXPECT_EQ(RunWhole(), c.outcome) << c.name;
        ASSERT_TRUE(m_record) << c.name;
        EXPECT_EQ(m_record->readBack, c.readBack) << c.name;
        std::vector<std::string> tags;
        for (const ReadBackDifference& d : m_record->differences) {
            tags.push_back(d.tag);
        }
        EXPECT_EQ(tags, c.tags) << c.name;
        EXPECT_EQ(m_record->outcome, InstallOutcomeName(c.outcome)) << c.name;
        EXPECT_EQ(
            m_log.Has(c.outcome == InstallOutcome::NotKept ? "box Error: Install Fail" : "box Message: Install OK"),
            true)
            << c.name;
        if (*c.status != '\0') {
            EXPECT_TRUE(m_log.Has(c.status)) << c.name;
        }
        // The kept record says the same.
        EXPECT_EQ(RecordStore(m_records + "/camera-setup").Records(m_target.mac).back(), *m_record) << c.name;
    }
}

TEST_F(InstallWorkerTest, RestoreUploadsTheKeptFileWithARestartRequested) {
    const std::string kept = "<subnet mask>\n255.0.0.0\n<reset system>\nNO\nother\n";
    struct Case {
        const char* name;
        bool held;  // the camera answers at the address already
    };
    for (const Case c : {Case{"moved back", false}, Case{"stays where it is", true}}) {
        m_log.events.clear();
        m_transfer.m_puts.clear();
        m_transfer.m_remoteFile = "<subnet mask>\r\n255.255.255.0\r\n<reset system>\r\nYES\r\nother\r\n";
        m_restore = InstallWorker::Restore{kept, c.held};
        std::deque<Step> script = c.held ? std::deque<Step>{} : Assigned();
        script.push_back({Step::Silence});
        script.push_back({Step::Answer});
        EXPECT_EQ(Run(script), InstallOutcome::Installed) << c.name;
        EXPECT_THAT(m_transfer.m_puts, ElementsAre("<subnet mask>\n255.0.0.0\n<reset system>\nYES\nother\n")) << c.name;
        EXPECT_EQ(m_log.Matching("install begin").size(), c.held ? 0u : 1u) << c.name;
        ASSERT_TRUE(m_record) << c.name;
        EXPECT_EQ(m_record->action, "restore") << c.name;
        EXPECT_EQ(m_record->readBack, ReadBack::Verified) << c.name;
        EXPECT_EQ(m_record->mask, 0xFF000000u) << c.name;
        // What the camera had before the restore is kept in turn.
        EXPECT_EQ(Read(RecordStore(m_records + "/camera-setup").PreviousPath(*m_record)), m_transfer.m_remoteFile)
            << c.name;
    }
}
