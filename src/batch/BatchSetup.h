#pragma once

// From what the user asked for (a plan, or a range and a choice of cameras) and the cameras found, the batch's
// items, each checked by the wizard pages' rules before anything is sent.

#include <optional>
#include <string>
#include <vector>

#include "AddressRange.h"
#include "BatchEngine.h"
#include "BatchPlan.h"
#include "CameraRecord.h"

struct RangeRequest {
    AddressSpan span;
    uint32_t mask = 0;
    std::optional<uint32_t> gateway, dns1, dns2;  // unset: what the network page shows first for each camera
    std::vector<MacAddress> macs;                 // empty: every installable camera
};

struct BatchSelection {
    std::vector<BatchItem> items;   // in MAC order for a range, in the plan's order for a plan
    // Cameras left out, each with its final state and why: Skipped (the state file records it installed), Failed
    // (not found, or its row is not installable). The others still run.
    std::vector<BatchUpdate> leftOut;
    std::optional<PlanError> error;  // a value a page refuses, or too few addresses: nothing may be sent
};

// A row whose settings a page refuses for its camera is an error naming the row's line.
BatchSelection ItemsForPlan(const std::vector<PlanRow>& rows, const std::vector<CameraRecord>& cameras,
                            const BatchStateFile* state);

// The chosen cameras (or every installable one) in MAC order, their addresses taken from `range` in that order
// when the batch runs. An error when the range holds fewer free addresses than there are cameras to install, or
// the page refuses the range's values.
BatchSelection ItemsForRange(const RangeRequest& request, const std::vector<CameraRecord>& cameras,
                             const AddressAllocator& range, const BatchStateFile* state);
