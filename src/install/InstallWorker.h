#pragma once

// One whole installation of one camera: Setup Wizard, address check, address assignment by echo requests sent
// straight to the camera's MAC, config.ini rewrite over FTP, restart wait, read-back. Runs on a thread of its own
// (an InstallSession); talks to the user only through InstallUi.
//
// Every run past the wizard leaves a record (RecordStore under Platform::recordsDirectory). The downloaded file and
// the one about to be written are kept before the upload; when they cannot be, nothing is uploaded. After the
// restart the file is fetched once more and compared by meaning (ConfigReadBack): a network value the camera did
// not keep ends the installation NotKept, any other difference is a warning, a file that cannot be fetched leaves
// the outcome as it was.
//
// Whoever holds the installation may ask it to stop (a StopSignal): its pauses, echo waits and FTP transfers end
// early and it ends as Stopped, with the same cleanup and no message.
//
// Every ending removes what the installation made: whatever the helper prepared for the new address (a route to
// an address of another site). config.ini is held in memory only. A send or receive error ends only the installation
// ("Install Fail"). A fatal failure (the echo socket or its options) shows its message and then calls
// exitProcess(65535), after that cleanup.

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "CameraAssignment.h"
#include "Clock.h"
#include "Diagnostics.h"
#include "EchoChannel.h"
#include "FileTransfer.h"
#include "InstallRecord.h"
#include "InstallUi.h"
#include "PrivilegedHelper.h"
#include "StopSignal.h"

enum class InstallOutcome {
    WizardCancelled,     // nothing was sent
    AddressInUse,        // another host answers for the new address (echo or ARP)
    AssignFailed,        // the camera did not take the address (or the helper would not prepare for it)
    SettingsNotChanged,  // address taken, config.ini not rewritten
    SettingsIncomplete,  // address taken, an upload broke off and the original could not be put back
    BackupFailed,        // address taken, config.ini not rewritten: its backup could not be kept
    RestartFailed,       // rewritten, but the camera did not come back
    NotKept,             // back after the restart, but its file read back lacks a network value it was given
    NetworkFailed,       // a send or receive error ended the installation
    Installed,
    Fatal,    // exitProcess was called
    Stopped,  // its holder asked it to stop
};

// The step of the config.ini rewrite that ended an installation with its settings not changed.
enum class TransferStep {
    None,      // none did: the installation ended otherwise
    Open,      // the transfer library could not start
    Login,     // the FTP server refused the login (and no other settings were given)
    Download,  // config.ini could not be fetched whole
    Upload,    // the new config.ini could not be stored, or broke off
};

struct InstallResult {
    InstallOutcome outcome = InstallOutcome::Stopped;
    TransferStep failedStep = TransferStep::None;  // SettingsNotChanged and SettingsIncomplete only
};

class InstallWorker {
  public:
    struct Platform {
        std::function<IcmpEchoChannel::Opened()> openEcho;
        CameraAssignment& assignment;
        FileTransfer& transfer;
        Clock& clock;
        Diagnostics& diagnostics;
        std::function<void(int)> exitProcess;  // std::_Exit in the program
        uint16_t identifier;                   // low 16 bits of the process id
        std::string remoteFileName;            // "config.ini"
        // Where the records and backups go (RecordStore); an installation that cannot back up ends before the upload.
        std::string recordsDirectory;
        std::function<int64_t()> wallClockMs;  // milliseconds since the epoch; nullptr: the system clock
    };

    // Instead of the rewrite, uploads `file` (with "<reset system>" set to YES, so that the camera restarts and
    // then clears it). cameraHoldsAddress: the camera already answers at the new address, so there is nothing to
    // check or assign.
    struct Restore {
        std::string file;
        bool cameraHoldsAddress = false;
    };

    // The real platform pieces of this process.
    // An ICMP datagram socket; where the user may not open one, an echo channel of the helper's.
    static std::function<IcmpEchoChannel::Opened()> RealEchoOpener(uint16_t identifier, PrivilegedHelper& helper);
    static uint16_t ProcessIdentifier();

    InstallWorker(const CameraRecord& target, InstallUi& ui, Platform platform);
    // Stops once `stop` is requested; the signal outlives the worker.
    InstallWorker(const CameraRecord& target, InstallUi& ui, Platform platform, const StopSignal& stop);

    // Before Run: a restore rather than an installation.
    void SetRestore(Restore restore) { m_restore = std::move(restore); }

    InstallResult Run();

    // The record of the last Run (once it passed the wizard).
    const std::optional<InstallRecord>& Record() const { return m_record; }

    // Ends what the running installation has begun with the helper; nothing is begun or sent to the camera after
    // that. Safe from another thread; every ending of Run does the same, and a second call finds
    // nothing left to do.
    void CleanUp();

    static constexpr int kEchoTimeoutMs = 2000;
    static constexpr int kFatalExitCode = 65535;
    static constexpr int kAssignAttempts = 9;
    static constexpr int kRestartAttempts = 15;
    // A camera answers echo requests a moment before its FTP server listens again.
    static constexpr int kReadBackConnectAttempts = 5;

  private:
    class Session;

    // What exists outside the process because of this installation. The beginning, the echo requests to the
    // camera and the cleanup take turns under one lock, and after the cleanup nothing more is begun or sent, so a
    // cleanup from another thread never misses a beginning.
    class Made {
      public:
        // 0 or the errno; ECANCELED once cleaned up.
        int Begin(CameraAssignment& assignment, int interface, uint32_t address, const MacAddress& mac,
                  std::string& error);
        int SendAssignEcho(CameraAssignment& assignment, uint32_t address, uint16_t identifier, uint16_t sequence,
                           std::span<const uint8_t> payload, std::string& error);
        void CleanUp(CameraAssignment& assignment, Diagnostics& diagnostics);

      private:
        std::mutex m_mutex;
        bool m_cleanedUp = false;
        std::optional<uint32_t> m_begun;  // the helper may hold this address as being installed
    };

    CameraRecord m_target;  // the camera as the list showed it when the user pressed Install
    InstallUi& m_ui;
    Platform m_platform;
    StopSignal m_ownStop;  // never requested: for a worker that nobody stops
    const StopSignal& m_stop;
    Made m_made;
    std::optional<Restore> m_restore;
    std::optional<InstallRecord> m_record;
};

// The outcome as the records name it: "installed", "not-kept", "address-in-use", ...
const char* InstallOutcomeName(InstallOutcome outcome);

// The texts the user sees.
inline constexpr const char* kCheckingAddressText = "Checking the IP address if it is valid...";
inline constexpr const char* kAddressValidText = "This IP is valid.\nSetting and waiting for response from server.";
inline constexpr const char* kAddressAssignedText = "This IP is assigned. Changing settings...";
inline constexpr const char* kAddressInUseText =
    "This IP address is invalid.\nPlease enter an valid IP then try again !";
inline constexpr const char* kInstallFailText = "Install Fail";
inline constexpr const char* kInstallOkText = "Install OK";
inline constexpr const char* kSettingsNotChangedText = "IP address is set, but\nsettings are not changed";
inline constexpr const char* kSettingsIncompleteText =
    "IP address is set, but\nthe configuration file may be incomplete";
// A backup that could not be kept: this text, then the path and the cause.
inline constexpr const char* kBackupFailedText =
    "IP address is set, but\nsettings are not changed:\nno backup could be kept";
inline constexpr const char* kNotKeptStatusText = "The camera did not keep: ";
inline constexpr const char* kReadBackWarningText = "Warning: the camera reads back otherwise: ";
inline constexpr const char* kErrorCaption = "Error";
inline constexpr const char* kMessageCaption = "Message";
