#include "BatchResults.h"

#include <QSaveFile>

#include "Csv.h"
#include "DottedAddress.h"

std::string FormatBatchResults(const std::vector<BatchEngine::Result>& results) {
    auto address = [](uint32_t value) { return value == 0 ? std::string() : FormatDottedAddress(value); };
    std::string text = CsvRecord({"mac", "old_address", "new_address", "outcome", "message"});
    for (const BatchEngine::Result& result : results) {
        text += CsvRecord({result.mac.Text(), address(result.oldAddress), address(result.newAddress),
                           BatchCameraStateName(result.state), result.message});
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
