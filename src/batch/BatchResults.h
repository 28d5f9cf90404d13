#pragma once

// What a batch leaves for the user: the results as CSV and the files it writes.

#include <set>
#include <string>
#include <vector>

#include "AdapterInfo.h"
#include "BatchEngine.h"
#include "BatchSetup.h"

class PrivilegedHelper;

// `mac,old_address,new_address,outcome,message,reason`, one record per camera, the outcome its final state word and
// the reason why it ended so; an address never given is an empty cell. Cells go through CsvField, so a message a
// spreadsheet would read as a formula stays text.
std::string FormatBatchResults(const std::vector<BatchCameraStatus>& results);

// Writes text through a temporary file beside path, renamed over it once complete: a failed write leaves nothing
// partial. False, with "Cannot write PATH: reason" in *error, otherwise.
bool SaveTextFile(const std::string& path, const std::string& text, std::string* error);

// The addresses a range never hands out: this PC's, every listed camera's, and the servers the cameras are given.
std::set<uint32_t> AddressesInUse(const RangeRequest& request, const std::vector<CameraRecord>& cameras,
                                  const std::vector<AdapterInfo>& adapters);

// The results of cameras left out of the engine (skipped, or failed before they started): their old address as
// the list showed it, 0 for a camera not in it.
std::vector<BatchCameraStatus> LeftOutResults(std::vector<BatchCameraStatus> leftOut,
                                              const std::vector<CameraRecord>& cameras);

// Every camera installed, now or by an earlier run.
bool AllInstalled(const std::vector<BatchCameraStatus>& results);

// "installed 3, ftp-login 1, no-restart 1": how many cameras ended for each reason, in the reasons' order.
std::string ReasonCounts(const std::vector<BatchCameraStatus>& results);

// What an installation said before the batch stopped for a fatal failure (its echo socket), to show before the
// process ends with InstallWorker::kFatalExitCode.
std::string FatalMessage(const std::vector<BatchCameraStatus>& results);

// Each installation on the real platform through `helper`, which outlives the batch.
BatchEngine::PlatformFactory RealBatchPlatforms(PrivilegedHelper& helper, std::string remoteFileName);
