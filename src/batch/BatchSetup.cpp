#include "BatchSetup.h"

#include <algorithm>
#include <utility>

#include "InstallOptions.h"

namespace {

constexpr const char* kSkippedText = "installed by an earlier run";
constexpr const char* kNotFoundText = "no camera with this MAC address was found";

const CameraRecord* FindCamera(const std::vector<CameraRecord>& cameras, const MacAddress& mac) {
    const auto found =
        std::find_if(cameras.begin(), cameras.end(), [&](const CameraRecord& camera) { return camera.mac == mac; });
    return found == cameras.end() ? nullptr : &*found;
}

std::string NotInstallableText(Assignment assigned) {
    return assigned == Assignment::Yes ? "the camera already has its address (its row shows \"Yes\")"
                                       : "the camera has not answered the XRM search yet (its row shows \"------\")";
}

BatchCameraStatus NotFound(const MacAddress& mac, uint32_t newAddress) {
    return BatchCameraStatus::Final(mac, BatchCameraState::Failed, BatchReason::NotFound, newAddress, kNotFoundText);
}

BatchCameraStatus NotInstallable(const MacAddress& mac, uint32_t newAddress, std::string why) {
    return BatchCameraStatus::Final(mac, BatchCameraState::Failed, BatchReason::NotInstallable, newAddress,
                                    std::move(why));
}

// Skipped or failed before it starts, or nothing when the camera can be installed.
std::optional<BatchCameraStatus> LeftOut(const MacAddress& mac, const CameraRecord* camera,
                                         const BatchStateFile* state) {
    if (state != nullptr) {
        if (const auto record = state->Find(mac); record && record->state == BatchCameraState::Installed) {
            return BatchCameraStatus::Final(mac, BatchCameraState::Skipped, BatchReason::Skipped, record->newAddress,
                                            kSkippedText);
        }
    }
    if (camera == nullptr) {
        return NotFound(mac, 0);
    }
    if (camera->assigned != Assignment::No) {
        return NotInstallable(mac, 0, NotInstallableText(camera->assigned));
    }
    return std::nullopt;
}

// The camera's settings as the pages would end with them; the page's message as the error otherwise.
std::optional<BatchItem> CheckedItem(const CameraRecord& camera, const InstallOptions& options, int line,
                                     BatchSelection& selection) {
    std::string message;
    std::string caption;
    const SegmentSettings segment =
        SettingsForSegment(camera, options.ip.value_or(camera.address), SystemSegmentFacts());
    const auto params = BuildInstallParams(options, InstallParams::ForCamera(camera, segment),
                                           camera.wireless.value_or(false), &message, &caption);
    if (!params) {
        selection.error = PlanError{line, camera.mac.Text() + ": " + message};
        return std::nullopt;
    }
    return BatchItem{camera, *params, options.ftpPort, options.ftpPassword};
}

// A host address of the span for this mask (not its network's or broadcast address), to check the pages' rules
// with before the actual addresses are known.
uint32_t SampleAddress(const AddressSpan& span, uint32_t mask) {
    const uint32_t host = ~mask;
    for (uint32_t address = span.first;; ++address) {
        if (host <= 1 || ((address & host) != 0 && (address & host) != host) || address == span.last) {
            return address;
        }
    }
}

}  // namespace

BatchSelection ItemsForPlan(const std::vector<PlanRow>& rows, const std::vector<CameraRecord>& cameras,
                            const BatchStateFile* state) {
    BatchSelection selection;
    for (const PlanRow& row : rows) {
        const CameraRecord* camera = FindCamera(cameras, row.options.mac);
        if (auto leftOut = LeftOut(row.options.mac, camera, state)) {
            if (leftOut->state == BatchCameraState::Failed) {
                leftOut->newAddress = row.options.ip.value_or(0);
            }
            selection.leftOut.push_back(std::move(*leftOut));
            continue;
        }
        auto item = CheckedItem(*camera, row.options, row.line, selection);
        if (!item) {
            return selection;
        }
        selection.items.push_back(std::move(*item));
    }
    return selection;
}

BatchSelection ItemsForRange(const RangeRequest& request, const std::vector<CameraRecord>& cameras,
                             const AddressAllocator& range, const BatchStateFile* state) {
    BatchSelection selection;
    std::vector<MacAddress> macs = request.macs;
    if (macs.empty()) {
        for (const CameraRecord& camera : cameras) {
            const bool recorded = state != nullptr && state->Find(camera.mac).has_value();
            if (camera.assigned == Assignment::No || recorded) {
                macs.push_back(camera.mac);
            }
        }
    }
    std::sort(macs.begin(), macs.end());
    macs.erase(std::unique(macs.begin(), macs.end()), macs.end());

    InstallOptions options;
    options.mask = request.mask;
    options.gateway = request.gateway;
    options.dns1 = request.dns1;
    options.dns2 = request.dns2;
    options.ip = SampleAddress(request.span, request.mask);
    for (const MacAddress& mac : macs) {
        const CameraRecord* camera = FindCamera(cameras, mac);
        if (auto leftOut = LeftOut(mac, camera, state)) {
            selection.leftOut.push_back(std::move(*leftOut));
            continue;
        }
        options.mac = mac;
        auto item = CheckedItem(*camera, options, 0, selection);
        if (!item) {
            return selection;
        }
        item->params.m_newAddress = 0;
        selection.items.push_back(std::move(*item));
    }
    if (range.Free() < selection.items.size()) {
        selection.error = PlanError{0, "the range holds " + std::to_string(range.Free()) + " free addresses for " +
                                           std::to_string(selection.items.size()) + " cameras"};
    }
    return selection;
}

BatchWatch::BatchWatch(std::vector<PlanRow> rows, const BatchStateFile* state)
    : m_rows(std::move(rows)), m_state(state) {
    for (const PlanRow& row : m_rows) {
        if (auto leftOut = LeftOut(row.options.mac, nullptr, state); leftOut->state == BatchCameraState::Skipped) {
            m_handled.insert(row.options.mac);
            m_leftOut.push_back(std::move(*leftOut));
        }
    }
}

BatchWatch::BatchWatch(RangeRequest request, AddressAllocator& range, const BatchStateFile* state)
    : m_request(std::move(request)), m_range(&range), m_state(state) {}

std::optional<BatchItem> BatchWatch::Offer(const CameraRecord& camera, std::chrono::steady_clock::time_point now) {
    if (m_range != nullptr && camera.address != 0 && camera.address != 0xFFFFFFFFu) {
        m_range->MarkInUse(camera.address);
    }
    if (m_handled.count(camera.mac) != 0) {
        return std::nullopt;
    }
    const auto first = m_firstOffered.try_emplace(camera.mac, now).first->second;
    const auto row =
        std::find_if(m_rows.begin(), m_rows.end(), [&](const PlanRow& r) { return r.options.mac == camera.mac; });
    const bool named =
        m_request ? std::find(m_request->macs.begin(), m_request->macs.end(), camera.mac) != m_request->macs.end()
                  : row != m_rows.end();
    if (!named && (!m_request || !m_request->macs.empty())) {
        return std::nullopt;
    }
    const bool recordedInstalled = m_state != nullptr && m_state->Find(camera.mac) &&
                                   m_state->Find(camera.mac)->state == BatchCameraState::Installed;
    if (camera.assigned != Assignment::No && !recordedInstalled) {
        if (named) {
            m_seen[camera.mac] = camera.assigned;
        }
        return std::nullopt;
    }
    if (camera.mask.value_or(0) == 0 && now - first < kSettleTime && !recordedInstalled) {
        return std::nullopt;
    }
    m_handled.insert(camera.mac);
    m_seen.erase(camera.mac);
    BatchSelection selection;
    if (m_request) {
        RangeRequest one = *m_request;
        one.macs = {camera.mac};
        selection = ItemsForRange(one, {camera}, *m_range, m_state);
    } else {
        selection = ItemsForPlan({*row}, {camera}, m_state);
    }
    if (!selection.items.empty()) {
        // A range used up is the installation's to report, like any other camera's.
        return std::move(selection.items.front());
    }
    if (selection.error) {
        m_leftOut.push_back(NotInstallable(camera.mac, 0, selection.error->message));
    }
    m_leftOut.insert(m_leftOut.end(), selection.leftOut.begin(), selection.leftOut.end());
    return std::nullopt;
}

std::vector<BatchCameraStatus> BatchWatch::TakeLeftOut() {
    std::vector<BatchCameraStatus> leftOut;
    leftOut.swap(m_leftOut);
    return leftOut;
}

bool BatchWatch::AllNamedHandled() const {
    if (m_request) {
        return !m_request->macs.empty() && std::all_of(m_request->macs.begin(), m_request->macs.end(),
                                                       [&](const MacAddress& mac) { return m_handled.count(mac); });
    }
    return std::all_of(m_rows.begin(), m_rows.end(),
                       [&](const PlanRow& row) { return m_handled.count(row.options.mac) != 0; });
}

std::vector<BatchCameraStatus> BatchWatch::Unhandled() const {
    std::vector<MacAddress> named = m_request ? m_request->macs : std::vector<MacAddress>{};
    for (const PlanRow& row : m_rows) {
        named.push_back(row.options.mac);
    }
    std::vector<BatchCameraStatus> unhandled;
    for (const MacAddress& mac : named) {
        if (m_handled.count(mac) != 0) {
            continue;
        }
        const auto row =
            std::find_if(m_rows.begin(), m_rows.end(), [&](const PlanRow& r) { return r.options.mac == mac; });
        const uint32_t address = row != m_rows.end() ? row->options.ip.value_or(0) : 0;
        const auto seen = m_seen.find(mac);
        unhandled.push_back(seen == m_seen.end() ? NotFound(mac, address)
                                                 : NotInstallable(mac, address, NotInstallableText(seen->second)));
    }
    return unhandled;
}
