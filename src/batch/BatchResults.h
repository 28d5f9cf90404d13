#pragma once

// What a batch leaves for the user: the results as CSV and the files it writes.

#include <set>
#include <string>
#include <vector>

#include "AdapterInfo.h"
#include "BatchEngine.h"
#include "BatchSetup.h"

// `mac,old_address,new_address,outcome,message`, one record per camera, the outcome its final state word; an
// address never given is an empty cell. Cells go through CsvField, so a message a spreadsheet would read as a
// formula stays text.
std::string FormatBatchResults(const std::vector<BatchEngine::Result>& results);

// Writes text through a temporary file beside path, renamed over it once complete: a failed write leaves nothing
// partial. False, with "Cannot write PATH: reason" in *error, otherwise.
bool SaveTextFile(const std::string& path, const std::string& text, std::string* error);

// The addresses a range never hands out: this PC's, every listed camera's, and the servers the cameras are given.
std::set<uint32_t> AddressesInUse(const RangeRequest& request, const std::vector<CameraRecord>& cameras,
                                  const std::vector<AdapterInfo>& adapters);
