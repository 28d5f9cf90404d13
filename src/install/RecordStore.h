#pragma once

// The installation records under the user's data directory: one folder per camera (its MAC, "00-1A-2B-3C-4D-5E"),
// and per installation STEM.json (the record), STEM-previous.ini (the camera's config.ini as downloaded, its exact
// bytes) and STEM-written.ini (what was uploaded). Folders are 0700 and files 0600 (the files may hold wireless
// keys). Every file is written whole to a temporary name in its folder, flushed and then renamed, so a reader sees
// the old file or the new one; the pair is never replaced and nothing is ever removed.
//
// Reading tolerates files it did not write: a record that does not parse, or lacks the MAC or time, is skipped;
// files larger than kMaxFileBytes are not read.

#include <optional>
#include <string>
#include <vector>

#include "InstallRecord.h"

class RecordStore {
  public:
    explicit RecordStore(std::string directory) : m_directory(std::move(directory)) {}

    // $XDG_DATA_HOME/camera-setup when XDG_DATA_HOME is an absolute path, else $HOME/.local/share/camera-setup;
    // empty when neither can be had.
    static std::string DefaultDirectory();

    const std::string& Directory() const { return m_directory; }
    std::string CameraDirectory(const MacAddress& mac) const;
    std::string RecordPath(const InstallRecord& record) const;
    std::string PreviousPath(const InstallRecord& record) const;
    std::string WrittenPath(const InstallRecord& record) const;

    // Writes the pair and then the record (backedUp set). False, with "PATH: cause" in *error, when any of it
    // cannot be written; a pair file already there is never overwritten.
    bool Backup(InstallRecord& record, const std::string& previous, const std::string& written, std::string* error);
    // Writes (replaces) the record alone.
    bool Save(const InstallRecord& record, std::string* error) const;

    // Every readable record of the camera, oldest first.
    std::vector<InstallRecord> Records(const MacAddress& mac) const;
    // Every readable record of every camera, oldest first.
    std::vector<InstallRecord> AllRecords() const;
    // The newest record of the camera that has a previous file.
    std::optional<InstallRecord> LatestBackup(const MacAddress& mac) const;

    static constexpr size_t kMaxFileBytes = 1024 * 1024;

    // The whole file, or nothing (with "PATH: cause" in *error) when it cannot be read or is too large.
    static std::optional<std::string> ReadFile(const std::string& path, std::string* error);

  private:
    bool MakeDirectories(const MacAddress& mac, std::string* error) const;

    std::string m_directory;
};

// The record as JSON text, and back; nothing for text that is not such a record.
std::string RecordToJson(const InstallRecord& record);
std::optional<InstallRecord> RecordFromJson(const std::string& text);
