#include "InstallWorker.h"

#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <utility>
#include <vector>

#include "ConfigFileRewrite.h"
#include "EchoRequest.h"
#include "NeighbourLookup.h"

namespace {

using Stream = Diagnostics::Stream;

constexpr size_t kReplyBufferSize = 1024;

bool HasAddress(uint32_t address) {
    return address != 0 && address != 0xFFFFFFFFu;
}

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
    enum class Echo { Reply, TimedOut, SendTimedOut, Failed };

    InstallOutcome Fatal(const char* format, int code) {
        char text[128];
        std::snprintf(text, sizeof text, format, code);
        m_ui.ShowMessage(text, kErrorCaption);
        return InstallOutcome::Fatal;
    }

    // Closes the status display and tells the user; every ending after the status opened ends the busy cursor.
    InstallOutcome End(InstallOutcome outcome, const char* text, const char* caption) {
        m_ui.CloseStatus();
        m_ui.ShowMessage(text, caption);
        m_ui.EndWait();
        return outcome;
    }

    // A send or receive error ends only this installation: the process, its window and list go on.
    InstallOutcome NetworkFailed() { return End(InstallOutcome::NetworkFailed, kInstallFailText, kErrorCaption); }

    // Sends the request with this sequence number and waits up to the echo time-out for its answer: an echo
    // reply from the destination with our identifier and, unless anySequence, this sequence number. Anything
    // else is decoded for its diagnostic lines and the wait goes on for the rest of the time.
    Echo Exchange(uint16_t sequence, bool anySequence);
    // One paced attempt of the two echo loops.
    Echo Attempt(uint16_t sequence, int& progress);
    InstallOutcome Configure(int& progress);
    std::string Rewrite(const std::string& original) const;

    InstallWorker& m_worker;
    InstallUi& m_ui;
    Platform& m_p;
    InstallParams m_params;
    std::unique_ptr<EchoChannel> m_channel;
    std::optional<EchoRequest> m_request;
    std::vector<uint8_t> m_reply = std::vector<uint8_t>(kReplyBufferSize);
    uint32_t m_destination = 0;
    std::string m_dotted;
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
            return Fatal("Initial WinSock Failed: %d\n", opened.error);
        case IcmpEchoChannel::Failure::ReceiveTimeout:
            return Fatal("Failed to set recv timeout: %d\n", opened.error);
        case IcmpEchoChannel::Failure::SendTimeout:
            return Fatal("Failed to set send timeout: %d\n", opened.error);
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

    m_ui.SetStatusProgress(10);
    const std::optional<NeighbourTable::MacAddress> mac = ParseMacText(target.mac);
    switch (Exchange(0, true)) {
        case Echo::Reply:
            return End(InstallOutcome::AddressInUse, kAddressInUseText, kErrorCaption);
        case Echo::SendTimedOut:
            m_p.diagnostics.Print(Stream::Err, "sendto timed out\n");
            return NetworkFailed();
        case Echo::Failed:
            return NetworkFailed();
        case Echo::TimedOut:
            break;
    }
    // A host that drops echo requests still answers ARP for its address.
    if (const std::optional<NeighbourEntry> entry = m_p.neighbours.Lookup(m_destination);
        entry && entry->mac && IsAnsweredState(entry->state) && entry->mac != mac) {
        const auto& m = *entry->mac;
        m_p.diagnostics.Print(Stream::Err, "%s is held by %02X-%02X-%02X-%02X-%02X-%02X\n", m_dotted.c_str(), m[0],
                              m[1], m[2], m[3], m[4], m[5]);
        return End(InstallOutcome::AddressInUse, kAddressInUseText, kErrorCaption);
    }
    m_p.clock.SleepMs(10);
    m_ui.SetStatusText(kAddressValidText);
    m_ui.SetStatusProgress(20);

    // Give the camera the new address: it takes whatever address an echo request to its MAC carries.
    const std::string password = DefaultPassword(target.mac);
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
        const Echo echo = Attempt(sequence, progress);
        if (echo == Echo::Failed) {
            return NetworkFailed();
        }
        answered = echo == Echo::Reply;
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
        const Echo echo = Attempt(sequence, progress);
        if (echo == Echo::Failed) {
            return NetworkFailed();
        }
        if (echo == Echo::TimedOut) {
            wentDown = true;
        } else if (echo == Echo::Reply && wentDown) {
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

InstallWorker::Session::Echo InstallWorker::Session::Exchange(uint16_t sequence, bool anySequence) {
    m_request->Prepare(sequence, m_p.clock.TickCountMs());
    const EchoChannel::Result sent = m_channel->Send(m_destination, m_request->Bytes());
    if (sent.status == EchoChannel::Status::TimedOut) {
        return Echo::SendTimedOut;
    }
    if (sent.status == EchoChannel::Status::Error) {
        m_p.diagnostics.Print(Stream::Err, "sendto failed: %d\n", sent.error);
        return Echo::Failed;
    }
    if (sent.bytes < EchoRequest::kSize) {
        m_p.diagnostics.Print(Stream::Out, "Wrote %d bytes\n", static_cast<int>(sent.bytes));
    }
    const uint32_t start = m_p.clock.TickCountMs();
    for (uint32_t waited = 0; waited < static_cast<uint32_t>(kEchoTimeoutMs);
         waited = m_p.clock.TickCountMs() - start) {
        uint32_t sender = 0;
        const EchoChannel::Result received =
            m_channel->Receive(m_reply, sender, kEchoTimeoutMs - static_cast<int>(waited));
        if (received.status == EchoChannel::Status::TimedOut) {
            break;
        }
        if (received.status == EchoChannel::Status::Error) {
            m_p.diagnostics.Print(Stream::Err, "recvfrom failed: %d\n", received.error);
            return Echo::Failed;
        }
        const std::optional<uint16_t> replied =
            DecodeEchoReply(std::span<const uint8_t>(m_reply.data(), received.bytes), m_channel->DeliversIpHeader(),
                            sender, m_channel->ReplyIdentifier(), m_p.clock.TickCountMs(), m_p.diagnostics);
        if (!replied || sender != m_destination) {
            continue;
        }
        if (anySequence || *replied == sequence) {
            return Echo::Reply;
        }
        m_p.diagnostics.Print(Stream::Out, "late reply to icmp_seq = %d ignored\n", static_cast<int>(*replied));
    }
    return Echo::TimedOut;
}

InstallWorker::Session::Echo InstallWorker::Session::Attempt(uint16_t sequence, int& progress) {
    m_p.clock.SleepMs(1000);
    m_ui.SetStatusProgress(progress);
    progress += 10;
    const Echo echo = Exchange(sequence, false);
    if (echo == Echo::TimedOut || echo == Echo::SendTimedOut) {
        m_p.diagnostics.Print(Stream::Out, "timed out\n");
    }
    return echo;
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

    m_ui.SetStatusProgress(progress);
    progress += 10;
    FileTransfer::Fetched original;
    if (m_p.transfer.Download(m_p.remoteFileName, original, error) != FileTransfer::Result::Ok) {
        return notChanged(error);
    }
    // A cut download would be rewritten into a cut file on the camera.
    if (original.bytes.empty()) {
        return notChanged(m_p.remoteFileName + ": the download is empty");
    }
    if (original.announcedSize && original.bytes.size() < *original.announcedSize) {
        return notChanged(m_p.remoteFileName + ": " + std::to_string(original.bytes.size()) + " of " +
                          std::to_string(*original.announcedSize) + " bytes arrived");
    }
    const FileTransfer::Result stored = m_p.transfer.Upload(Rewrite(original.bytes), m_p.remoteFileName, error);
    if (stored == FileTransfer::Result::Interrupted) {
        // The camera may now hold part of the new file: put the old one back.
        m_p.diagnostics.Print(Stream::Err, "%s\n", error.c_str());
        if (m_p.transfer.Upload(original.bytes, m_p.remoteFileName, error) != FileTransfer::Result::Ok) {
            m_p.diagnostics.Print(Stream::Err, "%s\n", error.c_str());
            return End(InstallOutcome::SettingsIncomplete, kSettingsIncompleteText, kErrorCaption);
        }
        return notChanged("");
    }
    if (stored != FileTransfer::Result::Ok) {
        return notChanged(error);
    }
    m_p.transfer.Close();
    return InstallOutcome::Installed;
}

std::string InstallWorker::Session::Rewrite(const std::string& original) const {
    std::istringstream in(original);
    std::ostringstream out;
    RewriteConfigFile(in, out, m_params);
    return std::move(out).str();
}
