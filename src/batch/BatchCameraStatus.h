#pragma once

// Where one camera of a batch stands, in one record from its first report to the results: the engine keeps one per
// camera and hands a copy to its observer on every change, the results are the last ones, and the state file keeps
// the part a later run needs (state, reason, new address, message, attempts and times; see BatchStateFile). Cameras
// that never reach the engine (skipped, not found, not installable) get one too, already ended.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "MacAddress.h"

enum class BatchCameraState { Waiting, Running, Installed, Failed, Skipped, Stopped };

// "waiting", "running", "installed", "failed", "skipped", "stopped".
const char* BatchCameraStateName(BatchCameraState state);
std::optional<BatchCameraState> ParseBatchCameraState(std::string_view name);
// Neither waiting nor running: the state does not change again in this run.
bool IsFinal(BatchCameraState state);

// Why a camera ended as it did, for machines: stable words, unlike the message texts.
enum class BatchReason {
    None,  // not ended yet
    Installed,
    Skipped,           // installed by an earlier run
    AddressInUse,      // another host answers for the address (or the range has none left)
    NoAnswer,          // the camera never took the address
    FtpLogin,          // the FTP server refused the login
    Download,          // config.ini could not be fetched whole
    Upload,            // the new config.ini could not be stored (the old one is back)
    ConfigIncomplete,  // an upload broke off and the old file could not be put back
    NoRestart,         // rewritten, but the camera never came back
    NotKept,           // back, but its file read back lacks a network value it was given
    Backup,            // its config.ini could not be kept before the upload; nothing was uploaded
    Network,           // a send or receive error, or the transfer could not start
    NotFound,          // no camera with this MAC answered
    NotInstallable,    // its row does not read "No", or a page refuses its settings
    Stopped,
    Fatal,
};

// "", "installed", "skipped", "address-in-use", "no-answer", "ftp-login", "download", "upload", "config-incomplete",
// "no-restart", "not-kept", "backup", "network", "not-found", "not-installable", "stopped", "fatal".
const char* BatchReasonName(BatchReason reason);
std::optional<BatchReason> ParseBatchReason(std::string_view name);

struct BatchCameraStatus {
    MacAddress mac;
    BatchCameraState state = BatchCameraState::Waiting;
    BatchReason reason = BatchReason::None;  // None until it ends
    uint32_t oldAddress = 0;                 // host order, as the list showed it; 0 when the list had none
    uint32_t newAddress = 0;                 // the address it is being given, host order; 0 while none is chosen
    std::string message;                     // the last status text or final message, one line
    int progress = 0;                        // the status bar's position, 0..100; not kept on disk

    // Kept on disk over every run.
    int attempts = 0;     // installations started for this camera
    std::string started;  // of the last attempt; UTC, ISO 8601 (BatchTimestampNow); empty until the first start
    std::string ended;    // empty while it runs or waits

    // Ended before it reached the engine, or by the engine.
    static BatchCameraStatus Final(const MacAddress& mac, BatchCameraState state, BatchReason reason,
                                   uint32_t newAddress, std::string message);
};

// The current time as the status records it: UTC, ISO 8601 with milliseconds ("2026-12-08T15:00:00.000Z").
std::string BatchTimestampNow();
