#pragma once

// One whole installation of one camera: Setup Wizard, address check, address assignment by a permanent
// neighbour entry and echo requests, config.ini rewrite over FTP, restart wait. Runs on a thread of its own
// (an InstallSession); talks to the user only through InstallUi.
//
// Whoever holds the installation may ask it to stop (a StopSignal): its pauses, echo waits and FTP transfers end
// early and it ends as Stopped, with the same cleanup and no message.
//
// Every ending removes what the installation made: the neighbour entry for the new address and the temporary
// host route. config.ini is held in memory only. A send or receive error ends only the installation ("Install
// Fail"). A fatal failure (the echo socket or its options) shows its message and then calls exitProcess(65535),
// after that cleanup.

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "Clock.h"
#include "Diagnostics.h"
#include "EchoChannel.h"
#include "FileTransfer.h"
#include "InstallUi.h"
#include "NeighbourTable.h"
#include "PrivilegedHelper.h"
#include "StopSignal.h"

enum class InstallOutcome {
    WizardCancelled,     // nothing was sent
    AddressInUse,        // another host answers for the new address (echo or ARP)
    AssignFailed,        // the camera did not take the address (or the entry/route could not be made)
    SettingsNotChanged,  // address taken, config.ini not rewritten
    SettingsIncomplete,  // address taken, an upload broke off and the original could not be put back
    RestartFailed,       // rewritten, but the camera did not come back
    NetworkFailed,       // a send or receive error ended the installation
    Installed,
    Fatal,    // exitProcess was called
    Stopped,  // its holder asked it to stop
};

class InstallWorker {
  public:
    struct Platform {
        std::function<IcmpEchoChannel::Opened()> openEcho;
        NeighbourTable& neighbours;
        FileTransfer& transfer;
        Clock& clock;
        Diagnostics& diagnostics;
        std::function<void(int)> exitProcess;  // std::_Exit in the program
        uint16_t identifier;                   // low 16 bits of the process id
        std::string remoteFileName;            // "config.ini"
    };

    // The real platform pieces of this process.
    // The datagram socket first; a raw one from the helper when the user may not open that, filtered to this
    // identifier's echo replies when ownRepliesOnly.
    static std::function<IcmpEchoChannel::Opened()> RealEchoOpener(uint16_t identifier, PrivilegedHelper& helper,
                                                                   bool ownRepliesOnly = false);
    static uint16_t ProcessIdentifier();

    InstallWorker(const CameraRecord& target, InstallUi& ui, Platform platform);
    // Stops once `stop` is requested; the signal outlives the worker.
    InstallWorker(const CameraRecord& target, InstallUi& ui, Platform platform, const StopSignal& stop);

    InstallOutcome Run();

    // Removes what the running installation has made so far: the neighbour entry and the host route; it adds
    // nothing after that. Safe from another thread; every ending of Run does the same, and a second call finds
    // nothing left to do.
    void CleanUp();

    static constexpr int kEchoTimeoutMs = 2000;
    static constexpr int kFatalExitCode = 65535;
    static constexpr int kAssignAttempts = 9;
    static constexpr int kRestartAttempts = 15;

  private:
    class Session;

    // What exists outside the process because of this installation. Additions and the cleanup take turns under one
    // lock, and after the cleanup nothing more is added, so a cleanup from another thread never misses an addition.
    class Made {
      public:
        bool AddHostRoute(NeighbourTable& table, int interface, uint32_t address, std::string& error);
        bool AddPermanent(NeighbourTable& table, int interface, uint32_t address, const MacAddress& mac,
                          std::string& error);
        void CleanUp(NeighbourTable& table, Diagnostics& diagnostics);

      private:
        std::mutex m_mutex;
        bool m_cleanedUp = false;
        std::optional<uint32_t> m_neighbour;  // an entry for this address may exist
        std::optional<int> m_routeInterface;  // a host route to m_routeAddress on this interface
        uint32_t m_routeAddress = 0;
    };

    CameraRecord m_target;  // the camera as the list showed it when the user pressed Install
    InstallUi& m_ui;
    Platform m_platform;
    StopSignal m_ownStop;  // never requested: for a worker that nobody stops
    const StopSignal& m_stop;
    Made m_made;
};

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
inline constexpr const char* kErrorCaption = "Error";
inline constexpr const char* kMessageCaption = "Message";
