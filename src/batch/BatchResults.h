#pragma once

// The results of a batch as CSV: `mac,old_address,new_address,outcome,message`, one record per camera, the
// outcome its final state word. An address never given is an empty cell. Cells go through CsvField, so a message
// a spreadsheet would read as a formula stays text.

#include <string>
#include <vector>

#include "BatchEngine.h"
#include "Csv.h"
#include "DottedAddress.h"

inline std::string FormatBatchResults(const std::vector<BatchEngine::Result>& results) {
    auto address = [](uint32_t value) { return value == 0 ? std::string() : FormatDottedAddress(value); };
    std::string text = CsvRecord({"mac", "old_address", "new_address", "outcome", "message"});
    for (const BatchEngine::Result& result : results) {
        text += CsvRecord({result.mac.Text(), address(result.oldAddress), address(result.newAddress),
                           BatchCameraStateName(result.state), result.message});
    }
    return text;
}
