#pragma once

// What the install worker needs from whoever shows the installation: the GUI (wizard, status dialog, message
// boxes, main window list) or the headless command (terminal). Every call comes from the worker's thread and
// returns once the user interface has done it; calls that wait for the user block until they answer.

#include <cstdint>
#include <optional>
#include <string>

#include "CameraRecord.h"
#include "FileTransfer.h"
#include "InstallParams.h"

// The FTP port and admin password that the server settings dialog edits. Kept by the worker across retries, so
// the dialog shows the values last entered.
struct ServerSettings {
    uint16_t port = 21;
    std::string password;
};

// What the server settings dialog (and its terminal counterpart) tells the user.
inline constexpr const char* kServerSettingsText =
    "If you have changed the server FTP port or\nAdmin password, please input the correct settings";

class InstallUi {
  public:
    virtual ~InstallUi() = default;

    // Runs the Setup Wizard, first showing the camera's current values; the settings after Finish, nothing when
    // the user ended it any other way.
    virtual std::optional<InstallParams> RunWizard(const CameraRecord& camera) = 0;

    // Opens the status display showing "Checking the IP address if it is valid..." and starts the busy cursor.
    // Returns once it exists, so the calls below reach it.
    virtual void OpenStatus() = 0;
    // Stores the text; it is shown with the next progress position.
    virtual void SetStatusText(const std::string& text) = 0;
    virtual void SetStatusProgress(int position) = 0;
    virtual void CloseStatus() = 0;
    virtual void EndWait() = 0;

    // A message box with one OK button; returns when it is dismissed. caption: "Error" or "Message".
    virtual void ShowMessage(const std::string& text, const std::string& caption) = 0;

    // The login failed (refused, or another failure). Asks for port and password; false for Cancel.
    virtual bool AskServerSettings(FileTransfer::Result failure, ServerSettings& settings) = 0;

    // The camera mac now has address (host order) and holds it. installed: the whole installation succeeded
    // (the web page may be opened); otherwise only the address was taken.
    virtual void UpdateRow(const MacAddress& mac, uint32_t address, bool installed) = 0;
};
