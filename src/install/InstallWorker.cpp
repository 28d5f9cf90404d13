#include "InstallWorker.h"

#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <utility>
#include <vector>

#include "ConfigFileRewrite.h"
#include "EchoRequest.h"

namespace {

using Stream = Diagnostics::Stream;

constexpr size_t kReplyBufferSize = 1024;

bool HasAddress(uint32_t address) {
    return address != 0 && address != 0xFFFFFFFFu;
}

// A directory only this process can read, under $TMPDIR (or /tmp); empty when it cannot be made.
std::string MakePrivateDirectory() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/camera-setup-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) {
        return {};
    }
    return buffer.data();
}

constexpr const char* kIniFile = "Ini.tmp";
constexpr const char* kTmpFile = "Tmp.tmp";

}  // namespace

// State of one run; its destructor is the cleanup shared by every ending.
class InstallWorker::Session {
  public:
    Session(InstallWorker& worker) : m_worker(worker), m_ui(worker.m_ui), m_p(worker.m_platform) {}

    ~Session() {
        m_worker.CleanUp();
        m_p.transfer.Close();
    }

    InstallOutcome Run();

  private:
    enum class Echo { Reply, TimedOut, SendTimedOut };

    InstallOutcome Fatal(const char* format, int code, bool box) {
        char text[128];
        std::snprintf(text, sizeof text, format, code);
        if (box) {
            m_ui.ShowMessage(text, kErrorCaption);
        } else {
            m_p.diagnostics.Write(Stream::Err, text);
        }
        return InstallOutcome::Fatal;
    }

    // Closes the status display and tells the user; every ending after the status opened ends the busy cursor.
    InstallOutcome End(InstallOutcome outcome, const char* text, const char* caption) {
        m_ui.CloseStatus();
        m_ui.ShowMessage(text, caption);
        m_ui.EndWait();
        return outcome;
    }

    // One paced attempt of the two echo loops. nullopt: fatal (already reported).
    std::optional<Echo> Attempt(uint16_t sequence, int& progress);
    InstallOutcome Configure(int& progress);
    bool RewriteLocally(const std::string& ini, const std::string& tmp);

    InstallWorker& m_worker;
    InstallUi& m_ui;
    Platform& m_p;
    InstallParams m_params;
    std::unique_ptr<EchoChannel> m_channel;
    std::optional<EchoRequest> m_request;
    std::vector<uint8_t> m_reply = std::vector<uint8_t>(kReplyBufferSize);
    uint32_t m_destination = 0;
    std::string m_dotted;
    std::string m_directory;
};

InstallWorker::InstallWorker(InstallTarget target, InstallUi& ui, Platform platform)
    : m_target(std::move(target)), m_ui(ui), m_platform(std::move(platform)) {}

InstallOutcome InstallWorker::Run() {
    InstallOutcome outcome;
    {
        Session session(*this);
        outcome = session.Run();
    }
    if (outcome == InstallOutcome::Fatal) {
        m_platform.exitProcess(kFatalExitCode);
    }
    return outcome;
}

void InstallWorker::CleanUp() {
    std::lock_guard lock(m_made.mutex);
    std::string error;
    if (m_made.neighbour && !m_platform.neighbours.Remove(*m_made.neighbour, error)) {
        m_platform.diagnostics.Print(Stream::Err, "%s\n", error.c_str());
    }
    m_made.neighbour.reset();
    if (m_made.routeInterface &&
        !m_platform.neighbours.RemoveHostRoute(*m_made.routeInterface, m_made.address, error)) {
        m_platform.diagnostics.Print(Stream::Err, "%s\n", error.c_str());
    }
    m_made.routeInterface.reset();
    if (!m_made.directory.empty()) {
        for (const char* name : {kIniFile, kTmpFile}) {
            unlink((m_made.directory + "/" + name).c_str());
        }
        rmdir(m_made.directory.c_str());
        m_made.directory.clear();
    }
}

std::string InstallWorker::DefaultPassword(const std::string& macText) {
    std::string password;
    for (size_t i = 0; i < macText.size() && password.size() < 12; ++i) {
        if (i % 3 == 2) {
            continue;  // a separator
        }
        const char c = macText[i];
        password.push_back(c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c);
    }
    return password;
}

uint16_t InstallWorker::ProcessIdentifier() {
    return static_cast<uint16_t>(getpid() & 0xFFFF);
}

std::function<IcmpEchoChannel::Opened()> InstallWorker::RealEchoOpener(uint16_t identifier, PrivilegedHelper& helper) {
    return [identifier, &helper] {
        return IcmpEchoChannel::OpenDatagramThenRaw(identifier, kEchoTimeoutMs, [&helper](int* error) {
            HelperRequest request;
            request.verb = HelperVerb::IcmpSocket;
            const PrivilegedHelper::Reply reply = helper.Call(request);
            *error = reply.code;
            return reply.fd;
        });
    };
}

InstallOutcome InstallWorker::Session::Run() {
    const InstallTarget& target = m_worker.m_target;

    // Preparation: the working directory, then the wizard.
    {
        std::lock_guard lock(m_worker.m_made.mutex);
        m_directory = MakePrivateDirectory();
        m_worker.m_made.directory = m_directory;
    }
    if (m_directory.empty()) {
        return Fatal("Get system directory Failed: %d\n", errno, true);
    }
    const WizardRequest request{target.address, target.mask, target.gateway, target.dns1, target.dns2, target.wireless};
    std::optional<InstallParams> params = m_ui.RunWizard(request);
    if (!params) {
        return InstallOutcome::WizardCancelled;
    }
    m_params = *params;

    // Echo channel.
    m_p.clock.SleepMs(300);
    IcmpEchoChannel::Opened opened = m_p.openEcho();
    switch (opened.failure) {
        case IcmpEchoChannel::Failure::None:
            break;
        case IcmpEchoChannel::Failure::Socket:
            if (opened.error == EPERM || opened.error == EACCES) {
                m_p.diagnostics.Print(Stream::Err,
                                      "An ICMP socket needs camera-setup-helper with CAP_NET_RAW, or "
                                      "net.ipv4.ping_group_range must include the user's group\n");
            }
            return Fatal("Initial WinSock Failed: %d\n", opened.error, true);
        case IcmpEchoChannel::Failure::ReceiveTimeout:
            return Fatal("Failed to set recv timeout: %d\n", opened.error, true);
        case IcmpEchoChannel::Failure::SendTimeout:
            return Fatal("Failed to set send timeout: %d\n", opened.error, true);
    }
    m_channel = std::move(opened.channel);
    m_destination = m_params.m_newAddress;
    m_dotted = DottedAddress(m_destination);
    m_request.emplace(m_p.identifier);

    // Is the new address free?
    m_ui.OpenStatus();
    std::string error;
    if (!m_p.neighbours.FlushDynamic(m_destination, error)) {
        m_p.diagnostics.Print(Stream::Err, "%s\n", error.c_str());
    }
    // The entry goes where the new address lives; an address of another site is reached through the
    // interface that reaches the camera now, with a host route for as long as the installation lasts.
    std::optional<int> interface = m_p.neighbours.InterfaceForSubnet(m_destination);
    if (!interface) {
        std::optional<int> cameraInterface;
        if (HasAddress(target.address)) {
            cameraInterface = m_p.neighbours.InterfaceForSubnet(target.address);
        }
        if (!cameraInterface) {
            cameraInterface = target.arrivalInterface;
        }
        if (!cameraInterface) {
            m_p.diagnostics.Print(Stream::Err, "no interface reaches %s or the camera\n", m_dotted.c_str());
            return End(InstallOutcome::AssignFailed, kInstallFailText, kErrorCaption);
        }
        bool added;
        {
            std::lock_guard lock(m_worker.m_made.mutex);
            added = m_p.neighbours.AddHostRoute(*cameraInterface, m_destination, error);
            if (added) {
                m_worker.m_made.routeInterface = cameraInterface;
                m_worker.m_made.address = m_destination;
            }
        }
        if (!added) {
            m_p.diagnostics.Print(Stream::Err, "%s\n", error.c_str());
            return End(InstallOutcome::AssignFailed, kInstallFailText, kErrorCaption);
        }
        interface = cameraInterface;
    }

    m_request->Prepare(0, m_p.clock.TickCountMs());
    m_ui.SetStatusProgress(10);
    EchoChannel::Result sent = m_channel->Send(m_destination, m_request->Bytes());
    if (sent.status != EchoChannel::Status::Ok) {
        return Fatal("sendto failed: %d\n", sent.error, true);
    }
    if (sent.bytes < EchoRequest::kSize) {
        m_p.diagnostics.Print(Stream::Out, "Wrote %d bytes\n", static_cast<int>(sent.bytes));
    }
    uint32_t sender = 0;
    EchoChannel::Result received = m_channel->Receive(m_reply, sender);
    if (received.status == EchoChannel::Status::Ok) {
        return End(InstallOutcome::AddressInUse, kAddressInUseText, kErrorCaption);
    }
    if (received.status == EchoChannel::Status::Error) {
        m_ui.CloseStatus();
        return Fatal("recvfrom failed: %d\n", received.error, true);
    }
    m_p.clock.SleepMs(10);
    m_ui.SetStatusText(kAddressValidText);
    m_ui.SetStatusProgress(20);

    // Give the camera the new address: it takes whatever address an echo request to its MAC carries.
    const std::string password = DefaultPassword(target.mac);
    const std::optional<NeighbourTable::MacAddress> mac = ParseMacText(target.mac);
    if (!mac) {
        m_p.diagnostics.Print(Stream::Err, "not a hardware address: %s\n", target.mac.c_str());
        return End(InstallOutcome::AssignFailed, kInstallFailText, kErrorCaption);
    }
    bool added;
    {
        std::lock_guard lock(m_worker.m_made.mutex);
        m_worker.m_made.neighbour = m_destination;
        added = m_p.neighbours.AddPermanent(*interface, m_destination, *mac, error);
    }
    if (!added) {
        m_p.diagnostics.Print(Stream::Err, "%s\n", error.c_str());
        return End(InstallOutcome::AssignFailed, kInstallFailText, kErrorCaption);
    }
    m_p.clock.SleepMs(1000);
    m_ui.SetStatusProgress(30);

    int progress = 40;
    bool answered = false;
    for (uint16_t sequence = 1; sequence <= kAssignAttempts && !answered; ++sequence) {
        const std::optional<Echo> echo = Attempt(sequence, progress);
        if (!echo) {
            return InstallOutcome::Fatal;
        }
        answered = *echo == Echo::Reply;
    }
    if (!answered) {
        return End(InstallOutcome::AssignFailed, kInstallFailText, kErrorCaption);
    }
    m_ui.UpdateRow(target.mac, m_dotted, false);
    m_ui.SetStatusText(kAddressAssignedText);

    const InstallOutcome configured = Configure(progress);
    if (configured != InstallOutcome::Installed) {
        return configured;
    }

    // Wait for the restart: the camera must fall silent once and then answer again.
    bool wentDown = false;
    bool restarted = false;
    for (uint16_t sequence = 0; sequence < kRestartAttempts && !restarted; ++sequence) {
        const std::optional<Echo> echo = Attempt(sequence, progress);
        if (!echo) {
            return InstallOutcome::Fatal;
        }
        if (*echo == Echo::TimedOut) {
            wentDown = true;
        } else if (*echo == Echo::Reply && wentDown) {
            restarted = true;
        }
    }
    if (!restarted) {
        return End(InstallOutcome::RestartFailed, kInstallFailText, kErrorCaption);
    }
    m_ui.CloseStatus();
    m_ui.ShowMessage(kInstallOkText, kMessageCaption);
    m_ui.UpdateRow(target.mac, m_dotted, true);
    m_ui.EndWait();
    return InstallOutcome::Installed;
}

std::optional<InstallWorker::Session::Echo> InstallWorker::Session::Attempt(uint16_t sequence, int& progress) {
    m_p.clock.SleepMs(1000);
    m_ui.SetStatusProgress(progress);
    progress += 10;
    m_request->Prepare(sequence, m_p.clock.TickCountMs());
    const EchoChannel::Result sent = m_channel->Send(m_destination, m_request->Bytes());
    if (sent.status == EchoChannel::Status::TimedOut) {
        m_p.diagnostics.Print(Stream::Out, "timed out\n");
        return Echo::SendTimedOut;
    }
    if (sent.status == EchoChannel::Status::Error) {
        Fatal("sendto failed: %d\n", sent.error, false);
        return std::nullopt;
    }
    if (sent.bytes < EchoRequest::kSize) {
        m_p.diagnostics.Print(Stream::Out, "Wrote %d bytes\n", static_cast<int>(sent.bytes));
    }
    uint32_t sender = 0;
    const EchoChannel::Result received = m_channel->Receive(m_reply, sender);
    if (received.status == EchoChannel::Status::TimedOut) {
        m_p.diagnostics.Print(Stream::Out, "timed out\n");
        return Echo::TimedOut;
    }
    if (received.status == EchoChannel::Status::Error) {
        Fatal("recvfrom failed: %d\n", received.error, false);
        return std::nullopt;
    }
    DecodeEchoReply(std::span<const uint8_t>(m_reply.data(), received.bytes), m_channel->DeliversIpHeader(), sender,
                    m_channel->ReplyIdentifier(), m_p.clock.TickCountMs(), m_p.diagnostics);
    return Echo::Reply;
}

InstallOutcome InstallWorker::Session::Configure(int& progress) {
    const auto notChanged = [this](const std::string& why) {
        if (!why.empty()) {
            m_p.diagnostics.Print(Stream::Err, "%s\n", why.c_str());
        }
        return End(InstallOutcome::SettingsNotChanged, kSettingsNotChangedText, kErrorCaption);
    };
    std::string error;
    if (!m_p.transfer.Open(error)) {
        return notChanged(error);
    }
    m_p.clock.SleepMs(1000);
    ServerSettings settings{21, DefaultPassword(m_worker.m_target.mac)};
    for (;;) {
        const FileTransfer::Result login =
            m_p.transfer.Connect(m_dotted, settings.port, "admin", settings.password, error);
        if (login == FileTransfer::Result::Ok) {
            break;
        }
        m_p.diagnostics.Print(Stream::Err, "%s\n", error.c_str());
        if (!m_ui.AskServerSettings(login, settings)) {
            return notChanged("");
        }
    }

    const std::string ini = m_directory + "/" + kIniFile;
    const std::string tmp = m_directory + "/" + kTmpFile;
    m_ui.SetStatusProgress(progress);
    progress += 10;
    if (m_p.transfer.Download(m_p.remoteFileName, ini, error) != FileTransfer::Result::Ok) {
        return notChanged(error);
    }
    if (!RewriteLocally(ini, tmp)) {
        return notChanged("cannot rewrite the configuration in " + ini);
    }
    if (m_p.transfer.Upload(ini, m_p.remoteFileName, error) != FileTransfer::Result::Ok) {
        return notChanged(error);
    }
    unlink(ini.c_str());
    m_p.transfer.Close();
    return InstallOutcome::Installed;
}

// The download moves aside and the rewrite is written under the download's name, which is then uploaded.
bool InstallWorker::Session::RewriteLocally(const std::string& ini, const std::string& tmp) {
    if (std::rename(ini.c_str(), tmp.c_str()) != 0) {
        return false;
    }
    bool ok;
    {
        std::ifstream in(tmp, std::ios::binary);
        std::ofstream out(ini, std::ios::binary | std::ios::trunc);
        if (!in.is_open() || !out.is_open()) {
            return false;
        }
        RewriteConfigFile(in, out, m_params);
        out.flush();
        ok = !in.bad() && out.good();
    }
    unlink(tmp.c_str());
    return ok;
}
