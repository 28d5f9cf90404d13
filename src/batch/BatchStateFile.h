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

#include "BatchCameraStatus.h"
#include "MacAddress.h"

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

    // The camera's status as the file keeps it: the old address and the progress are 0.
    std::optional<BatchCameraStatus> Find(const MacAddress& mac) const;
    // Stores the camera's status (what the file keeps of it) and writes the file; false, with the reason in *error,
    // when it cannot be written. Thread-safe.
    bool Put(const BatchCameraStatus& status, std::string* error);
    // Stores every status given (each keyed by its MAC) and writes the file once.
    bool PutAll(const std::map<MacAddress, BatchCameraStatus>& statuses, std::string* error);

  protected:
    // Replaces the file with text: the old or the new record on disk, never a mix.
    virtual bool Save(const std::string& text, std::string* error);

    const std::string& Path() const { return m_path; }

  private:
    // The record as the file holds it; m_mutex held.
    std::string SerializeLocked() const;

    std::string m_path;
    mutable std::mutex m_mutex;
    std::map<MacAddress, BatchCameraStatus> m_cameras;
    bool m_refused = false;  // the last Load refused the file: it is never overwritten
    uint64_t m_changes = 0;  // Puts so far
    // One write at a time; a write covers every Put made before it started, so Puts that queued behind it
    // need no write of their own.
    std::mutex m_writeMutex;
    uint64_t m_written = 0;    // m_changes covered by the last write
    std::string m_writeError;  // of the last write; empty when it succeeded
};
