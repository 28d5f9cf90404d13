#pragma once

// What one installation (or restore) leaves behind: the camera's file before it, what was written, and this
// record of it. Plain C++ for the worker; the store reads and writes it as JSON.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "MacAddress.h"

// A tag whose value the installation changed. Key values are never kept here: `hidden` says they changed.
struct ChangedTag {
    std::string tag;
    std::string before;
    std::string after;
    bool hidden = false;

    friend bool operator==(const ChangedTag&, const ChangedTag&) = default;
};

// A written tag that the camera's file, read back after its restart, does not hold by meaning.
struct ReadBackDifference {
    std::string tag;
    std::string written;
    std::optional<std::string> readBack;  // nothing: the tag is gone from the file
    bool network = false;                 // the camera will not behave as planned
    bool hidden = false;                  // a key: values left out

    friend bool operator==(const ReadBackDifference&, const ReadBackDifference&) = default;
};

enum class ReadBack {
    NotReached,  // the installation ended before the camera restarted
    Verified,    // every written tag holds its value
    Differs,     // see `differences`
    Unreadable,  // the file could not be fetched again; the outcome stands
};

struct InstallRecord {
    MacAddress mac;
    std::string stem;         // the name shared by the record and its pair, from the start time: 20261209T154901.123Z
    std::string time;         // the start, UTC, ISO 8601: 2026-12-09T15:49:01.123Z
    std::string action;       // "install" or "restore"
    std::string outcome;      // "running" until it ends, then a word of InstallOutcomeName
    std::string model;        // as the list named it; empty when unknown
    uint32_t oldAddress = 0;  // host order; 0: the camera had none
    uint32_t newAddress = 0;
    std::optional<uint32_t> mask, gateway, dns1, dns2;  // as written
    std::optional<std::string> ssid;                    // as written; never a key
    std::vector<ChangedTag> changed;
    ReadBack readBack = ReadBack::NotReached;
    std::vector<ReadBackDifference> differences;
    bool backedUp = false;  // the pair exists: PreviousPath/WrittenPath

    friend bool operator==(const InstallRecord&, const InstallRecord&) = default;
};

// "not-reached", "verified", "differs", "unreadable".
const char* ReadBackName(ReadBack readBack);
std::optional<ReadBack> ParseReadBack(const std::string& name);

// UTC times of records: "2026-12-09T15:49:01.123Z" and the file stem "20261209T154901.123Z" of milliseconds since
// the epoch.
std::string RecordTimeText(int64_t unixMs);
std::string RecordStem(int64_t unixMs);
