#pragma once

// The batch's record on disk, so that a batch ended in the middle (by the user, a signal or a crash) can be run
// again: cameras recorded installed are skipped, the others installed (again). JSON, one object per camera keyed
// by MAC; rewritten whole after every change through a temporary file in the same directory and rename(2), so
// the file on disk is always either the old or the new record, never a mix.
//
// {"version": 1, "cameras": {"00-1A-2B-3C-4D-5E": {"target": "10.0.0.20", "state": "installed", "attempts": 1,
//   "reason": "installed", "message": "Install OK", "started": "2026-12-08T15:00:00Z", "ended":
//   "2026-12-08T15:00:11Z"}}}

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "MacAddress.h"

enum class BatchCameraState { Waiting, Running, Installed, Failed, Skipped, Stopped };

// "waiting", "running", "installed", "failed", "skipped", "stopped".
const char* BatchCameraStateName(BatchCameraState state);
std::optional<BatchCameraState> ParseBatchCameraState(std::string_view name);

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

struct BatchCameraRecord {
    uint32_t target = 0;  // the new address, host order; 0 while none is chosen
    BatchCameraState state = BatchCameraState::Waiting;
    int attempts = 0;  // installations started for this camera, over every run
    BatchReason reason = BatchReason::None;
    std::string message;  // the last status text or final message, one line
    std::string started;  // UTC, ISO 8601; empty until the first start
    std::string ended;    // empty while it runs or waits
};

class BatchStateFile {
  public:
    // An empty path keeps the record in memory only.
    explicit BatchStateFile(std::string path);
    virtual ~BatchStateFile() = default;
    BatchStateFile(const BatchStateFile&) = delete;
    BatchStateFile& operator=(const BatchStateFile&) = delete;

    // Reads the file; a missing file is an empty record. False, with the reason in *error, for a file that is not
    // such a record (nothing is then overwritten: the caller stops).
    bool Load(std::string* error);

    std::optional<BatchCameraRecord> Find(const MacAddress& mac) const;
    // Stores the camera's record and writes the file; false, with the reason in *error, when it cannot be written.
    // Thread-safe.
    bool Put(const MacAddress& mac, const BatchCameraRecord& record, std::string* error);
    // Stores every record given and writes the file once.
    bool PutAll(const std::map<MacAddress, BatchCameraRecord>& records, std::string* error);

  protected:
    // Replaces the file with text: the old or the new record on disk, never a mix.
    virtual bool Save(const std::string& text, std::string* error);

    const std::string& Path() const { return m_path; }

  private:
    // The record as the file holds it; m_mutex held.
    std::string SerializeLocked() const;

    std::string m_path;
    mutable std::mutex m_mutex;
    std::map<MacAddress, BatchCameraRecord> m_cameras;
    bool m_refused = false;  // the last Load refused the file: it is never overwritten
    uint64_t m_changes = 0;  // Puts so far
    // One write at a time; a write covers every Put made before it started, so Puts that queued behind it
    // need no write of their own.
    std::mutex m_writeMutex;
    uint64_t m_written = 0;    // m_changes covered by the last write
    std::string m_writeError;  // of the last write; empty when it succeeded
};

// The current time as the record writes it.
std::string BatchTimestampNow();
