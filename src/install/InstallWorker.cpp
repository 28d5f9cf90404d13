#include "InstallWorker.h"

#include <unistd.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <utility>
#include <vector>

#include "ConfigFileRewrite.h"
#include "ConfigReadBack.h"
#include "EchoRequest.h"
#include "HelperEchoChannel.h"
#include "Ipv4Text.h"
#include "NeighbourLookup.h"
#include "RecordStore.h"
#include "StringTable.h"

namespace {

using Stream = Diagnostics::Stream;

constexpr size_t kReplyBufferSize = 1024;

bool HasAddress(uint32_t address) {
    return address != 0 && address != 0xFFFFFFFFu;
}

std::string ModelName(int id) {
    switch (id) {
        case StringTable::kModelTavix10:
        case StringTable::kModelTavix11Plus:
        case StringTable::kModelTavix30:
        case StringTable::kModelTavix30W:
            return StringTable::Load(id);
        default:
            return "";
    }
}

std::optional<uint32_t> WrittenAddress(const std::map<std::string, std::string>& values, const std::string& tag) {
    const auto found = values.find(tag);
    if (found == values.end()) {
        return std::nullopt;
    }
    return ParseStrictDottedAddress(found->second);
}

std::string TagList(const std::vector<ReadBackDifference>& differences, bool network) {
    std::string list;
    for (const ReadBackDifference& d : differences) {
        if (d.network == network) {
            list += (list.empty() ? "" : ", ") + d.tag;
        }
    }
    return list;
}

}  // namespace

// State of one run; its destructor is the cleanup shared by every ending.
class InstallWorker::Session {
  public:
    Session(InstallWorker& worker) : m_worker(worker), m_ui(worker.m_ui), m_p(worker.m_platform) {
        m_p.transfer.InterruptOn(worker.m_stop);
    }

    ~Session() {
        m_worker.CleanUp();
        m_p.transfer.Close();
    }

    InstallOutcome Run();
    TransferStep FailedStep() const { return m_failedStep; }

  private:
    InstallOutcome RunPhases();
    void StartRecord();
    void SaveRecord(InstallOutcome outcome);

    // Ended: the installation was cleaned up from outside before the request could go.
    // InUse: the helper heard another host answer its ARP probe for the address; nothing was sent.
    enum class Echo { Reply, TimedOut, SendTimedOut, Failed, Stopped, Ended, InUse };
    // A phase either goes on (nullopt) or ends the installation.
    using Step = std::optional<InstallOutcome>;

    Step OpenChannel();
    Step CheckAddress();
    Step Assign();
    Step Configure();
    Step AwaitRestart();
    Step ReadBack();

    bool Pause(uint32_t milliseconds) { return m_p.clock.PauseMs(milliseconds, m_worker.m_stop); }

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

    // Whoever holds the installation is going away: nobody is left to read a message.
    InstallOutcome Stopped() {
        m_ui.CloseStatus();
        m_ui.EndWait();
        return InstallOutcome::Stopped;
    }

    // A send or receive error ends only this installation: the process, its window and list go on.
    InstallOutcome NetworkFailed() { return End(InstallOutcome::NetworkFailed, kInstallFailText, kErrorCaption); }

    // Sends the request with this sequence number and waits up to the echo time-out for its answer: an echo
    // reply from the destination with our identifier and, unless anySequence, this sequence number. Anything
    // else is decoded for its diagnostic lines and the wait goes on for the rest of the time. toCamera: the
    // helper sends it straight to the camera's MAC (the assignment); otherwise the channel sends it, routed.
    Echo Exchange(uint16_t sequence, bool anySequence, bool toCamera = false);
    // Nothing once sent, otherwise how the exchange ends.
    std::optional<Echo> Send(bool toCamera);
    // One paced attempt of the two echo loops.
    Echo Attempt(uint16_t sequence, bool toCamera);
    std::string Rewrite(const std::string& original) const;
    // Records the settings about to be written and keeps both files; false, with the reason, when it cannot.
    bool KeepBackup(const std::string& original, std::string& error);
    // The new file for the camera whose file is `original`.
    std::string NewFile(const std::string& original) const;

    InstallWorker& m_worker;
    InstallUi& m_ui;
    Platform& m_p;
    InstallParams m_params;
    std::unique_ptr<EchoChannel> m_channel;
    std::optional<EchoRequest> m_request;
    std::vector<uint8_t> m_reply = std::vector<uint8_t>(kReplyBufferSize);
    uint32_t m_destination = 0;
    std::string m_dotted;
    int m_progress = 40;  // the bar during the echo loops and the transfer
    TransferStep m_failedStep = TransferStep::None;
    ServerSettings m_login;  // the port and password the camera took
    std::string m_written;   // what was uploaded
    InstallRecord m_record;
    bool m_recording = false;
};

InstallWorker::InstallWorker(const CameraRecord& target, InstallUi& ui, Platform platform)
    : InstallWorker(target, ui, std::move(platform), m_ownStop) {}

InstallWorker::InstallWorker(const CameraRecord& target, InstallUi& ui, Platform platform, const StopSignal& stop)
    : m_target(target), m_ui(ui), m_platform(std::move(platform)), m_stop(stop) {}

InstallResult InstallWorker::Run() {
    InstallResult result;
    {
        Session session(*this);
        result.outcome = session.Run();
        result.failedStep = session.FailedStep();
    }
    if (result.outcome == InstallOutcome::Fatal) {
        m_platform.exitProcess(kFatalExitCode);
    }
    return result;
}

void InstallWorker::CleanUp() {
    m_made.CleanUp(m_platform.assignment, m_platform.diagnostics);
}

int InstallWorker::Made::Begin(CameraAssignment& assignment, int interface, uint32_t address, const MacAddress& mac,
                               std::string& error) {
    std::lock_guard lock(m_mutex);
    if (m_cleanedUp) {
        error = "the installation has ended";
        return ECANCELED;
    }
    const int code = assignment.Begin(interface, address, mac, error);
    // An unanswered request may still have been carried out.
    if (code == 0 || code == ETIMEDOUT) {
        m_begun = address;
    }
    return code;
}

int InstallWorker::Made::SendAssignEcho(CameraAssignment& assignment, uint32_t address, uint16_t identifier,
                                        uint16_t sequence, std::span<const uint8_t> payload, std::string& error) {
    std::lock_guard lock(m_mutex);
    if (m_cleanedUp) {
        error = "the installation has ended";
        return ECANCELED;
    }
    return assignment.SendAssignEcho(address, identifier, sequence, payload, error);
}

void InstallWorker::Made::CleanUp(CameraAssignment& assignment, Diagnostics& diagnostics) {
    std::lock_guard lock(m_mutex);
    m_cleanedUp = true;
    std::string error;
    if (m_begun && !assignment.End(*m_begun, error)) {
        diagnostics.Print(Stream::Err, "%s\n", error.c_str());
    }
    m_begun.reset();
}

uint16_t InstallWorker::ProcessIdentifier() {
    return static_cast<uint16_t>(getpid() & 0xFFFF);
}

std::function<IcmpEchoChannel::Opened()> InstallWorker::RealEchoOpener(uint16_t identifier, PrivilegedHelper& helper) {
    return [identifier, &helper] {
        IcmpEchoChannel::Opened opened =
            IcmpEchoChannel::Open(identifier, kEchoTimeoutMs, IcmpEchoChannel::Mode::DatagramOnly);
        if (opened.failure != IcmpEchoChannel::Failure::Socket || (opened.error != EPERM && opened.error != EACCES)) {
            return opened;
        }
        // Without a helper to ask, the datagram socket's refusal says what to change.
        if (helper.GetState() != PrivilegedHelper::State::Running) {
            return opened;
        }
        return HelperEchoChannel::Open(helper, kEchoTimeoutMs);
    };
}

const char* InstallOutcomeName(InstallOutcome outcome) {
    switch (outcome) {
        case InstallOutcome::WizardCancelled:
            return "cancelled";
        case InstallOutcome::AddressInUse:
            return "address-in-use";
        case InstallOutcome::AssignFailed:
            return "no-answer";
        case InstallOutcome::SettingsNotChanged:
            return "not-changed";
        case InstallOutcome::SettingsIncomplete:
            return "config-incomplete";
        case InstallOutcome::BackupFailed:
            return "backup";
        case InstallOutcome::RestartFailed:
            return "no-restart";
        case InstallOutcome::NotKept:
            return "not-kept";
        case InstallOutcome::NetworkFailed:
            return "network";
        case InstallOutcome::Installed:
            return "installed";
        case InstallOutcome::Fatal:
            return "fatal";
        case InstallOutcome::Stopped:
            return "stopped";
    }
    return "fatal";
}

InstallOutcome InstallWorker::Session::Run() {
    const InstallOutcome outcome = RunPhases();
    if (m_recording) {
        SaveRecord(outcome);
    }
    return outcome;
}

void InstallWorker::Session::StartRecord() {
    const CameraRecord& target = m_worker.m_target;
    const int64_t now =
        m_p.wallClockMs
            ? m_p.wallClockMs()
            : std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
                  .count();
    m_record.mac = target.mac;
    m_record.stem = RecordStem(now);
    m_record.time = RecordTimeText(now);
    m_record.action = m_worker.m_restore ? "restore" : "install";
    m_record.outcome = "running";
    m_record.model = ModelName(target.model);
    m_record.oldAddress = HasAddress(target.address) ? target.address : 0;
    m_record.newAddress = m_destination;
    if (!m_worker.m_restore) {
        m_record.mask = m_params.m_subnetMask;
        m_record.gateway = m_params.m_gateway;
        m_record.dns1 = m_params.m_primaryDns;
        m_record.dns2 = m_params.m_secondaryDns;
    }
    m_recording = true;
}

void InstallWorker::Session::SaveRecord(InstallOutcome outcome) {
    m_record.outcome = InstallOutcomeName(outcome);
    m_worker.m_record = m_record;
    std::string error;
    if (!RecordStore(m_p.recordsDirectory).Save(m_record, &error)) {
        m_p.diagnostics.Print(Stream::Err, "the installation's record was not kept: %s\n", error.c_str());
    }
}

InstallOutcome InstallWorker::Session::RunPhases() {
    const CameraRecord& target = m_worker.m_target;
    std::optional<InstallParams> params = m_ui.RunWizard(target);
    if (m_worker.m_stop.Requested()) {
        return InstallOutcome::Stopped;
    }
    if (!params) {
        return InstallOutcome::WizardCancelled;
    }
    m_params = *params;
    m_destination = m_params.m_newAddress;
    m_dotted = FormatDottedAddress(m_destination);
    StartRecord();

    const bool held = m_worker.m_restore && m_worker.m_restore->cameraHoldsAddress;
    std::vector<Step (Session::*)()> phases{&Session::OpenChannel};
    if (!held) {
        phases.insert(phases.end(), {&Session::CheckAddress, &Session::Assign});
    }
    phases.insert(phases.end(), {&Session::Configure, &Session::AwaitRestart, &Session::ReadBack});
    for (Step (Session::*phase)() : phases) {
        if (const Step ending = (this->*phase)()) {
            return *ending;
        }
        if (m_worker.m_stop.Requested()) {
            return Stopped();
        }
    }
    m_ui.CloseStatus();
    m_ui.ShowMessage(kInstallOkText, kMessageCaption);
    m_ui.UpdateRow(target.mac, m_destination, true);
    m_ui.EndWait();
    return InstallOutcome::Installed;
}

InstallWorker::Session::Step InstallWorker::Session::OpenChannel() {
    if (!Pause(300)) {
        return InstallOutcome::Stopped;
    }
    IcmpEchoChannel::Opened opened = m_p.openEcho();
    switch (opened.failure) {
        case IcmpEchoChannel::Failure::None:
            break;
        case IcmpEchoChannel::Failure::Socket:
            if (opened.error == EPERM || opened.error == EACCES) {
                m_p.diagnostics.Print(Stream::Err,
                                      "Echo requests need net.ipv4.ping_group_range to include the "
                                      "user's group, or camera-setup-helper with CAP_NET_RAW\n");
            }
            return Fatal("Initial WinSock Failed: %d\n", opened.error);
        case IcmpEchoChannel::Failure::ReceiveTimeout:
            return Fatal("Failed to set recv timeout: %d\n", opened.error);
        case IcmpEchoChannel::Failure::SendTimeout:
            return Fatal("Failed to set send timeout: %d\n", opened.error);
    }
    m_channel = std::move(opened.channel);
    m_channel->InterruptOn(m_worker.m_stop);
    m_request.emplace(m_p.identifier);
    m_ui.OpenStatus();
    return std::nullopt;
}

// Is the new address free? Begins the installation with the helper on the interface that reaches the camera.
InstallWorker::Session::Step InstallWorker::Session::CheckAddress() {
    const CameraRecord& target = m_worker.m_target;
    std::string error;
    // The camera is reached where the new address lives; an address of another site through the interface that
    // reaches the camera now (the helper routes it there for as long as the installation lasts).
    std::optional<int> interface = m_p.assignment.InterfaceForSubnet(m_destination);
    if (!interface && HasAddress(target.address)) {
        interface = m_p.assignment.InterfaceForSubnet(target.address);
    }
    if (!interface) {
        interface = target.arrivalInterface;
    }
    if (!interface) {
        m_p.diagnostics.Print(Stream::Err, "no interface reaches %s or the camera\n", m_dotted.c_str());
        return End(InstallOutcome::AssignFailed, kInstallFailText, kErrorCaption);
    }
    if (const int code = m_worker.m_made.Begin(m_p.assignment, *interface, m_destination, target.mac, error);
        code != 0) {
        m_p.diagnostics.Print(Stream::Err, "%s\n", error.c_str());
        return code == EADDRINUSE ? End(InstallOutcome::AddressInUse, kAddressInUseText, kErrorCaption)
                                  : End(InstallOutcome::AssignFailed, kInstallFailText, kErrorCaption);
    }

    m_ui.SetStatusProgress(10);
    switch (Exchange(0, true)) {
        case Echo::Reply:
        case Echo::InUse:
            return End(InstallOutcome::AddressInUse, kAddressInUseText, kErrorCaption);
        case Echo::SendTimedOut:
            m_p.diagnostics.Print(Stream::Err, "sendto timed out\n");
            return NetworkFailed();
        case Echo::Failed:
        case Echo::Ended:
            return NetworkFailed();
        case Echo::Stopped:
            return Stopped();
        case Echo::TimedOut:
            break;
    }
    // A host that drops echo requests still answers ARP for its address.
    if (const std::optional<NeighbourEntry> entry = m_p.assignment.Lookup(m_destination);
        entry && entry->mac && IsAnsweredState(entry->state) && entry->mac != target.mac) {
        m_p.diagnostics.Print(Stream::Err, "%s is held by %s\n", m_dotted.c_str(), entry->mac->Text().c_str());
        return End(InstallOutcome::AddressInUse, kAddressInUseText, kErrorCaption);
    }
    if (!Pause(10)) {
        return Stopped();
    }
    m_ui.SetStatusText(kAddressValidText);
    m_ui.SetStatusProgress(20);
    return std::nullopt;
}

// Gives the camera the new address: it takes whatever address an echo request to its MAC carries.
InstallWorker::Session::Step InstallWorker::Session::Assign() {
    const CameraRecord& target = m_worker.m_target;
    if (!Pause(1000)) {
        return Stopped();
    }
    m_ui.SetStatusProgress(30);

    bool answered = false;
    for (uint16_t sequence = 1; sequence <= kAssignAttempts && !answered; ++sequence) {
        const Echo echo = Attempt(sequence, true);
        if (echo == Echo::Failed) {
            return NetworkFailed();
        }
        if (echo == Echo::Ended) {
            return End(InstallOutcome::AssignFailed, kInstallFailText, kErrorCaption);
        }
        if (echo == Echo::Stopped) {
            return Stopped();
        }
        if (echo == Echo::InUse) {
            return End(InstallOutcome::AddressInUse, kAddressInUseText, kErrorCaption);
        }
        answered = echo == Echo::Reply;
    }
    if (!answered) {
        return End(InstallOutcome::AssignFailed, kInstallFailText, kErrorCaption);
    }
    m_ui.UpdateRow(target.mac, m_destination, false);
    m_ui.SetStatusText(kAddressAssignedText);
    return std::nullopt;
}

// The camera must fall silent once and then answer again.
InstallWorker::Session::Step InstallWorker::Session::AwaitRestart() {
    bool wentDown = false;
    for (uint16_t sequence = 0; sequence < kRestartAttempts; ++sequence) {
        switch (Attempt(sequence, false)) {
            case Echo::Failed:
            case Echo::Ended:
            case Echo::InUse:
                return NetworkFailed();
            case Echo::Stopped:
                return Stopped();
            case Echo::TimedOut:
                wentDown = true;
                break;
            case Echo::Reply:
                if (wentDown) {
                    return std::nullopt;
                }
                break;
            case Echo::SendTimedOut:
                break;
        }
    }
    return End(InstallOutcome::RestartFailed, kInstallFailText, kErrorCaption);
}

std::optional<InstallWorker::Session::Echo> InstallWorker::Session::Send(bool toCamera) {
    const std::span<const uint8_t> bytes = m_request->Bytes();
    if (toCamera) {
        // The reply must reach the channel: the identifier it listens for, spelt as the helper reads the wire.
        const uint16_t identifier = HelperEchoChannel::WireIdentifier(m_channel->ReplyIdentifier());
        const uint16_t sequence = static_cast<uint16_t>((bytes[6] << 8) | bytes[7]);
        std::string error;
        const int code = m_worker.m_made.SendAssignEcho(m_p.assignment, m_destination, identifier, sequence,
                                                        bytes.subspan(EchoRequest::kHeaderSize), error);
        if (code == ECANCELED) {
            return Echo::Ended;
        }
        if (code == EADDRINUSE) {
            m_p.diagnostics.Print(Stream::Err, "%s\n", error.c_str());
            return Echo::InUse;
        }
        if (code != 0) {
            m_p.diagnostics.Print(Stream::Err, "%s\nsendto failed: %d\n", error.c_str(), code);
            return Echo::Failed;
        }
        return std::nullopt;
    }
    const EchoChannel::Result sent = m_channel->Send(m_destination, bytes);
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
    return std::nullopt;
}

InstallWorker::Session::Echo InstallWorker::Session::Exchange(uint16_t sequence, bool anySequence, bool toCamera) {
    m_request->Prepare(sequence, m_p.clock.TickCountMs());
    if (const std::optional<Echo> ending = Send(toCamera)) {
        return *ending;
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
        if (received.status == EchoChannel::Status::SendFailed) {
            m_p.diagnostics.Print(Stream::Err, "sendto failed: %d\n", received.error);
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
    return m_worker.m_stop.Requested() ? Echo::Stopped : Echo::TimedOut;
}

InstallWorker::Session::Echo InstallWorker::Session::Attempt(uint16_t sequence, bool toCamera) {
    if (!Pause(1000)) {
        return Echo::Stopped;
    }
    m_ui.SetStatusProgress(m_progress);
    m_progress += 10;
    const Echo echo = Exchange(sequence, false, toCamera);
    if (echo == Echo::TimedOut || echo == Echo::SendTimedOut) {
        m_p.diagnostics.Print(Stream::Out, "timed out\n");
    }
    return echo;
}

// Rewrites config.ini over FTP.
InstallWorker::Session::Step InstallWorker::Session::Configure() {
    const auto notChanged = [this](TransferStep step, const std::string& why) {
        if (m_worker.m_stop.Requested()) {
            return Stopped();
        }
        if (!why.empty()) {
            m_p.diagnostics.Print(Stream::Err, "%s\n", why.c_str());
        }
        m_failedStep = step;
        return End(InstallOutcome::SettingsNotChanged, kSettingsNotChangedText, kErrorCaption);
    };
    std::string error;
    if (!m_p.transfer.Open(error)) {
        return notChanged(TransferStep::Open, error);
    }
    if (!Pause(1000)) {
        return Stopped();
    }
    ServerSettings& settings = m_login;
    settings = {21, m_worker.m_target.mac.PasswordText()};
    for (;;) {
        const FileTransfer::Result login =
            m_p.transfer.Connect(m_dotted, settings.port, "admin", settings.password, error);
        if (login == FileTransfer::Result::Ok) {
            break;
        }
        m_p.diagnostics.Print(Stream::Err, "%s\n", error.c_str());
        if (m_worker.m_stop.Requested() || !m_ui.AskServerSettings(login, settings)) {
            return notChanged(TransferStep::Login, "");
        }
    }
    if (m_worker.m_stop.Requested()) {
        return Stopped();
    }

    m_ui.SetStatusProgress(m_progress);
    m_progress += 10;
    FileTransfer::Fetched original;
    if (m_p.transfer.Download(m_p.remoteFileName, original, error) != FileTransfer::Result::Ok) {
        return notChanged(TransferStep::Download, error);
    }
    // A cut download would be rewritten into a cut file on the camera.
    if (original.bytes.empty()) {
        return notChanged(TransferStep::Download, m_p.remoteFileName + ": the download is empty");
    }
    if (original.announcedSize && original.bytes.size() < *original.announcedSize) {
        return notChanged(TransferStep::Download, m_p.remoteFileName + ": " + std::to_string(original.bytes.size()) +
                                                      " of " + std::to_string(*original.announcedSize) +
                                                      " bytes arrived");
    }
    m_written = NewFile(original.bytes);
    if (!KeepBackup(original.bytes, error)) {
        m_p.diagnostics.Print(Stream::Err, "%s\n", error.c_str());
        return End(InstallOutcome::BackupFailed, (std::string(kBackupFailedText) + ":\n" + error).c_str(),
                   kErrorCaption);
    }
    const FileTransfer::Result stored = m_p.transfer.Upload(m_written, m_p.remoteFileName, error);
    if (stored == FileTransfer::Result::Interrupted) {
        // The camera may now hold part of the new file: put the old one back.
        m_p.diagnostics.Print(Stream::Err, "%s\n", error.c_str());
        if (m_p.transfer.Upload(original.bytes, m_p.remoteFileName, error) != FileTransfer::Result::Ok) {
            m_p.diagnostics.Print(Stream::Err, "%s\n", error.c_str());
            m_failedStep = TransferStep::Upload;
            return End(InstallOutcome::SettingsIncomplete, kSettingsIncompleteText, kErrorCaption);
        }
        return notChanged(TransferStep::Upload, "");
    }
    if (stored != FileTransfer::Result::Ok) {
        return notChanged(TransferStep::Upload, error);
    }
    m_p.transfer.Close();
    return std::nullopt;
}

// Before anything is uploaded: the camera's own file is the only way back.
bool InstallWorker::Session::KeepBackup(const std::string& original, std::string& error) {
    const std::map<std::string, std::string> values = ConfigTagValues(m_written);
    m_record.mask = WrittenAddress(values, "<subnet mask>");
    m_record.gateway = WrittenAddress(values, "<gateway ip>");
    m_record.dns1 = WrittenAddress(values, "<primary name server>");
    m_record.dns2 = WrittenAddress(values, "<secondary name server>");
    if (const auto ssid = values.find("<SSID>"); ssid != values.end()) {
        m_record.ssid = ssid->second;
    }
    m_record.changed = ChangedTags(original, m_written);
    return RecordStore(m_p.recordsDirectory).Backup(m_record, original, m_written, &error);
}

std::string InstallWorker::Session::NewFile(const std::string& original) const {
    if (m_worker.m_restore) {
        return WithResetRequested(m_worker.m_restore->file);
    }
    return Rewrite(original);
}

// Fetches config.ini once more and holds it against what was written. Only a network value the camera did not
// keep changes the outcome; a file that cannot be fetched leaves it as it was.
InstallWorker::Session::Step InstallWorker::Session::ReadBack() {
    std::string error;
    const auto unreadable = [&](const std::string& why) -> Step {
        m_p.transfer.Close();
        if (m_worker.m_stop.Requested()) {
            return Stopped();
        }
        m_p.diagnostics.Print(Stream::Err, "%s: not read back: %s\n", m_p.remoteFileName.c_str(), why.c_str());
        m_record.readBack = ::ReadBack::Unreadable;
        return std::nullopt;
    };
    if (!m_p.transfer.Open(error)) {
        return unreadable(error);
    }
    FileTransfer::Result login = FileTransfer::Result::Failed;
    for (int attempt = 0; attempt < kReadBackConnectAttempts; ++attempt) {
        if (attempt > 0 && !Pause(1000)) {
            return Stopped();
        }
        login = m_p.transfer.Connect(m_dotted, m_login.port, "admin", m_login.password, error);
        if (login != FileTransfer::Result::Failed || m_worker.m_stop.Requested()) {
            break;
        }
    }
    if (login != FileTransfer::Result::Ok) {
        return unreadable(error);
    }
    FileTransfer::Fetched back;
    if (m_p.transfer.Download(m_p.remoteFileName, back, error) != FileTransfer::Result::Ok) {
        return unreadable(error);
    }
    if (back.bytes.empty() || (back.announcedSize && back.bytes.size() < *back.announcedSize)) {
        return unreadable("the download is cut short");
    }
    m_p.transfer.Close();
    m_record.differences = CompareReadBack(m_written, back.bytes);
    m_record.readBack = m_record.differences.empty() ? ::ReadBack::Verified : ::ReadBack::Differs;
    const std::string notKept = TagList(m_record.differences, true);
    const std::string otherwise = TagList(m_record.differences, false);
    if (!otherwise.empty()) {
        m_p.diagnostics.Print(Stream::Err, "%s%s\n", kReadBackWarningText, otherwise.c_str());
        m_ui.SetStatusText(kReadBackWarningText + otherwise);
        m_ui.SetStatusProgress(m_progress);
    }
    if (!notKept.empty()) {
        m_p.diagnostics.Print(Stream::Err, "%s%s\n", kNotKeptStatusText, notKept.c_str());
        m_ui.SetStatusText(kNotKeptStatusText + notKept);
        m_ui.SetStatusProgress(m_progress);
        return End(InstallOutcome::NotKept, kInstallFailText, kErrorCaption);
    }
    return std::nullopt;
}

std::string InstallWorker::Session::Rewrite(const std::string& original) const {
    std::istringstream in(original);
    std::ostringstream out;
    RewriteConfigFile(in, out, m_params);
    return std::move(out).str();
}
