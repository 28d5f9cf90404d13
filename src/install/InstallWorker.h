#pragma once

// One whole installation of one camera: Setup Wizard, address check, address assignment by a permanent
// neighbour entry and echo requests, config.ini rewrite over FTP, restart wait. Runs on a thread of its own
// (the caller starts it and does not wait); talks to the user only through InstallUi.
//
// Every ending removes what the installation made: the neighbour entry for the new address, the temporary
// host route, the private temporary directory and the files in it. A fatal failure (the working directory,
// the echo socket, an unexpected send or receive error) shows its message where the original tool did and
// then calls exitProcess(65535), after that cleanup.

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

// The camera as the list showed it when the user pressed Install.
struct InstallTarget {
    std::string mac;       // "AA-BB-CC-DD-EE-FF", the list's key
    uint32_t address = 0;  // host order; 0 (or 0xFFFFFFFF) when it has none
    uint32_t mask = 0;
    uint32_t gateway = 0;
    uint32_t dns1 = 0;
    uint32_t dns2 = 0;
    bool wireless = false;
    // The interface its DHCP packets arrived on: reaches a camera without a usable address.
    std::optional<int> arrivalInterface;
};

enum class InstallOutcome {
    WizardCancelled,     // nothing was sent
    AddressInUse,        // something answered the new address
    AssignFailed,        // the camera did not take the address (or the entry/route could not be made)
    SettingsNotChanged,  // address taken, config.ini not rewritten
    RestartFailed,       // rewritten, but the camera did not come back
    Installed,
    Fatal,  // exitProcess was called
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
    // The datagram socket first; a raw one from the helper when the user may not open that.
    static std::function<IcmpEchoChannel::Opened()> RealEchoOpener(uint16_t identifier, PrivilegedHelper& helper);
    static uint16_t ProcessIdentifier();

    InstallWorker(InstallTarget target, InstallUi& ui, Platform platform);

    InstallOutcome Run();

    // Removes what the running installation has made so far: the neighbour entry, the host route, the temporary
    // directory and its files. Safe from another thread (one that handles a signal before the process ends);
    // every ending of Run does the same, and a second call finds nothing left to do.
    void CleanUp();

    // The camera's factory FTP password: the MAC text without separators, upper case.
    static std::string DefaultPassword(const std::string& macText);

    static constexpr int kEchoTimeoutMs = 2000;
    static constexpr int kFatalExitCode = 65535;
    static constexpr int kAssignAttempts = 9;
    static constexpr int kRestartAttempts = 15;

  private:
    class Session;

    // What exists outside the process; changed only under the mutex, so CleanUp never races an addition.
    struct Made {
        std::mutex mutex;
        std::optional<uint32_t> neighbour;  // an entry for this address may exist
        std::optional<int> routeInterface;  // a host route to the same address on this interface
        uint32_t address = 0;
        std::string directory;
    };

    InstallTarget m_target;
    InstallUi& m_ui;
    Platform m_platform;
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
inline constexpr const char* kErrorCaption = "Error";
inline constexpr const char* kMessageCaption = "Message";
