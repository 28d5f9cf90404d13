#include "BatchCameraStatus.h"

#include <QDateTime>

#include <array>
#include <utility>

namespace {

constexpr std::array<const char*, 6> kStateNames{"waiting", "running", "installed", "failed", "skipped", "stopped"};
constexpr std::array<const char*, 17> kReasonNames{
    "",         "installed", "skipped",           "address-in-use", "no-answer", "ftp-login",
    "download", "upload",    "config-incomplete", "no-restart",     "not-kept",  "backup",
    "network",  "not-found", "not-installable",   "stopped",        "fatal"};

template <typename Enum, size_t N>
std::optional<Enum> FindName(const std::array<const char*, N>& names, std::string_view name) {
    for (size_t i = 0; i < names.size(); ++i) {
        if (name == names[i]) {
            return static_cast<Enum>(i);
        }
    }
    return std::nullopt;
}

}  // namespace

const char* BatchCameraStateName(BatchCameraState state) {
    return kStateNames.at(static_cast<size_t>(state));
}

std::optional<BatchCameraState> ParseBatchCameraState(std::string_view name) {
    return FindName<BatchCameraState>(kStateNames, name);
}

bool IsFinal(BatchCameraState state) {
    return state != BatchCameraState::Waiting && state != BatchCameraState::Running;
}

const char* BatchReasonName(BatchReason reason) {
    return kReasonNames.at(static_cast<size_t>(reason));
}

std::optional<BatchReason> ParseBatchReason(std::string_view name) {
    return FindName<BatchReason>(kReasonNames, name);
}

BatchCameraStatus BatchCameraStatus::Final(const MacAddress& mac, BatchCameraState state, BatchReason reason,
                                           uint32_t newAddress, std::string message) {
    BatchCameraStatus status;
    status.mac = mac;
    status.state = state;
    status.reason = reason;
    status.newAddress = newAddress;
    status.message = std::move(message);
    status.progress = 100;
    return status;
}

std::string BatchTimestampNow() {
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs).toStdString();
}
