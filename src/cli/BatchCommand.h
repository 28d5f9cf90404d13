#pragma once

class PrivilegedHelper;

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "AddressRange.h"
#include "BatchEngine.h"
#include "MacAddress.h"

// What the command line of `batch` says: a plan file, or a range with its network settings and a choice of
// cameras.
struct BatchOptions {
    std::optional<std::string> plan;
    std::optional<AddressSpan> range;
    std::optional<uint32_t> mask, gateway, dns1, dns2;  // with a range; the mask required
    std::vector<MacAddress> macs;                       // with a range: only these cameras
    int jobs = BatchEngine::kMaxJobs;
    std::optional<std::string> state;
    std::optional<std::string> results;
    int seconds = 10;  // with --watch: the whole run's limit, 0 none
    bool secondsGiven = false;
    bool watch = false;
    bool help = false;
};

// Nothing, with the reason in *error, for bad arguments.
std::optional<BatchOptions> ParseBatchOptions(const std::vector<std::string>& args, std::string* error);

// `camera-setup batch ...`: 0 every camera installed (now or by an earlier run), 1 any other ending, 2 bad
// arguments or plan (nothing sent), 255 a fatal failure (after every installation ended cleanly).
int RunBatchCommand(const std::vector<std::string>& args, PrivilegedHelper& helper);
