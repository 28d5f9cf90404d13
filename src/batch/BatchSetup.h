#pragma once

// From what the user asked for (a plan, or a range and a choice of cameras) and the cameras found, the batch's
// items, each checked by the wizard pages' rules before anything is sent.

#include <chrono>
#include <map>
#include <optional>
#include <set>
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
    std::vector<BatchItem> items;  // in MAC order for a range, in the plan's order for a plan
    // Cameras left out, each with its final state and why: Skipped (the state file records it installed), Failed
    // (not found, or its row is not installable). The others still run.
    std::vector<BatchCameraStatus> leftOut;
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

// Watch mode: cameras handed to the batch as they appear in the list. A plan hands out its rows' cameras, a range
// every camera that reads "No" (or only the MACs it names), each camera once, whenever it is offered.
class BatchWatch {
  public:
    // Rows the state file records installed are skipped at once (see TakeLeftOut).
    BatchWatch(std::vector<PlanRow> rows, const BatchStateFile* state);
    // Every camera's address offered is marked in use in `range`.
    BatchWatch(RangeRequest request, AddressAllocator& range, const BatchStateFile* state);

    // A camera reading "No" is taken once its DHCP acknowledgement (its mask) is in, or this long after it was
    // first offered: what the network page shows first for it comes from there.
    static constexpr std::chrono::milliseconds kSettleTime{3000};

    // Offers a camera of the list, as often as it shows: its item the first time it reads "No", is wanted and has
    // settled; nothing while it is not installable (yet) or was handed out before. A camera the state file records
    // installed, or whose settings a page refuses, goes to TakeLeftOut instead.
    std::optional<BatchItem> Offer(const CameraRecord& camera, std::chrono::steady_clock::time_point now);
    // The cameras left out since the last call, each with its final state.
    std::vector<BatchCameraStatus> TakeLeftOut();
    // Every named camera (plan rows, or a range's MACs) has been handed out or left out; never for a range of
    // every camera.
    bool AllNamedHandled() const;
    // At the end: the named cameras never handed out, failed as not found or (seen, never reading "No") not
    // installable.
    std::vector<BatchCameraStatus> Unhandled() const;

  private:
    std::vector<PlanRow> m_rows;
    std::optional<RangeRequest> m_request;
    AddressAllocator* m_range = nullptr;
    const BatchStateFile* m_state;
    std::set<MacAddress> m_handled;
    std::map<MacAddress, std::chrono::steady_clock::time_point> m_firstOffered;
    std::map<MacAddress, Assignment> m_seen;  // named cameras offered but not handed out: how their row read
    std::vector<BatchCameraStatus> m_leftOut;
};
