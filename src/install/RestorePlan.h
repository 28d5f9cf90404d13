#pragma once

// What undoing a camera's installation takes, from its records: the file to put back, where the camera is now
// (an installation's address outlives the DHCP lease the list may still show) and where it goes.

#include <optional>
#include <string>

#include "CameraRecord.h"
#include "InstallParams.h"
#include "InstallWorker.h"
#include "RecordStore.h"

struct RestorePlan {
    CameraRecord target;   // the camera as the worker starts from: its address the one it holds now
    InstallParams params;  // m_newAddress: where it goes
    InstallWorker::Restore restore;
    std::optional<InstallRecord> from;  // the record whose previous file goes back; nothing for a file given
};

enum class RestoreProblem { None, NothingKept, Unreadable, NoAddress };

// `camera` as the list shows it; `ip`: where to move it (nothing: the address it had before the record's
// installation); `file`: a path to upload instead of the kept file. Nothing, with the problem and its text, when
// there is nothing to put back, it cannot be read, or there is no address to go to.
std::optional<RestorePlan> PlanRestore(const RecordStore& store, const CameraRecord& camera,
                                       const std::optional<uint32_t>& ip, const std::optional<std::string>& file,
                                       RestoreProblem* problem, std::string* error);
