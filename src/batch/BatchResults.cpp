#include "BatchResults.h"

#include <QSaveFile>

#include <algorithm>
#include <map>

#include "Csv.h"
#include "DottedAddress.h"
#include "FileTransfer.h"
#include "Ipv4Text.h"
#include "RealInstallPlatform.h"

std::string FormatBatchResults(const std::vector<BatchCameraStatus>& results) {
    auto address = [](uint32_t value) { return value == 0 ? std::string() : FormatDottedAddress(value); };
    std::string text = CsvRecord({"mac", "old_address", "new_address", "outcome", "message", "reason"});
    for (const BatchCameraStatus& result : results) {
        text += CsvRecord({result.mac.Text(), address(result.oldAddress), address(result.newAddress),
                           BatchCameraStateName(result.state), result.message, BatchReasonName(result.reason)});
    }
    return text;
}

bool SaveTextFile(const std::string& path, const std::string& text, std::string* error) {
    QSaveFile file(QString::fromStdString(path));
    if (file.open(QIODevice::WriteOnly) &&
        file.write(text.data(), static_cast<qint64>(text.size())) == static_cast<qint64>(text.size()) &&
        file.commit()) {
        return true;
    }
    *error = "Cannot write " + path + ": " + file.errorString().toStdString();
    return false;
}

std::set<uint32_t> AddressesInUse(const RangeRequest& request, const std::vector<CameraRecord>& cameras,
                                  const std::vector<AdapterInfo>& adapters) {
    std::set<uint32_t> inUse;
    for (const AdapterInfo& adapter : adapters) {
        if (const auto address = ParseDottedAddress(adapter.address)) {
            inUse.insert(*address);
        }
    }
    for (const CameraRecord& camera : cameras) {
        if (camera.address != 0 && camera.address != 0xFFFFFFFFu) {
            inUse.insert(camera.address);
        }
    }
    for (const auto& server : {request.gateway, request.dns1, request.dns2}) {
        if (server) {
            inUse.insert(*server);
        }
    }
    return inUse;
}

std::vector<BatchCameraStatus> LeftOutResults(std::vector<BatchCameraStatus> leftOut,
                                              const std::vector<CameraRecord>& cameras) {
    for (BatchCameraStatus& status : leftOut) {
        const auto camera =
            std::find_if(cameras.begin(), cameras.end(), [&](const CameraRecord& c) { return c.mac == status.mac; });
        status.oldAddress = camera != cameras.end() ? camera->address : 0;
    }
    return leftOut;
}

bool AllInstalled(const std::vector<BatchCameraStatus>& results) {
    return std::all_of(results.begin(), results.end(), [](const BatchCameraStatus& result) {
        return result.state == BatchCameraState::Installed || result.state == BatchCameraState::Skipped;
    });
}

std::string ReasonCounts(const std::vector<BatchCameraStatus>& results) {
    std::map<BatchReason, int> counts;
    for (const BatchCameraStatus& result : results) {
        ++counts[result.reason];
    }
    std::string text;
    for (const auto& [reason, count] : counts) {
        text += (text.empty() ? "" : ", ") +
                std::string(reason == BatchReason::None ? "unknown" : BatchReasonName(reason)) + " " +
                std::to_string(count);
    }
    return text;
}

std::string FatalMessage(const std::vector<BatchCameraStatus>& results) {
    const auto fatal = std::find_if(results.begin(), results.end(), [](const BatchCameraStatus& result) {
        return result.reason == BatchReason::Fatal && !result.message.empty();
    });
    return fatal != results.end() ? fatal->message : std::string(kInstallFailText);
}

BatchEngine::PlatformFactory RealBatchPlatforms(PrivilegedHelper& helper, std::string remoteFileName) {
    InitFileTransferLibrary();  // once, before the installations' threads
    return [&helper, remoteFileName](uint16_t identifier,
                                     Diagnostics& diagnostics) -> std::unique_ptr<InstallPlatformSource> {
        return std::make_unique<RealInstallPlatform>(diagnostics, helper, remoteFileName, identifier);
    };
}
