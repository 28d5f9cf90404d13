#include "CameraWait.h"

#include <QEventLoop>
#include <QTimer>

#include <algorithm>

#include "DeviceInfo.h"

namespace {

constexpr int kAcknowledgementWaitMs = 3000;

}  // namespace

bool WaitFor(const std::function<bool()>& done, int milliseconds) {
    if (done()) {
        return true;
    }
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done()) {
            loop.quit();
        }
    });
    poll.start(20);
    QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
    loop.exec();
    return done();
}

bool AwaitCameras(DeviceTable& table, const std::vector<MacAddress>& macs, int seconds) {
    const auto found = [&] {
        return std::all_of(macs.begin(), macs.end(),
                           [&](const MacAddress& mac) { return table.Find(mac).has_value(); });
    };
    const bool all = WaitFor(found, seconds * 1000);
    const auto complete = [&] {
        return std::all_of(macs.begin(), macs.end(), [&](const MacAddress& mac) {
            const auto row = table.Find(mac);
            if (!row) {
                return true;  // not found: nothing to complete
            }
            const CameraRecord& camera = table.Record(*row);
            return camera.mask.value_or(0) != 0 || camera.assigned != Assignment::No;
        });
    };
    WaitFor(complete, kAcknowledgementWaitMs);
    return all;
}

std::string RowStateText(const std::string& state) {
    if (state == kAssignedYes) {
        return "\"Yes\": the camera already has its address; only a row showing \"No\" can be installed";
    }
    if (state == kAssignedPending) {
        return "\"------\": the camera has not answered the XRM search yet; only a row showing \"No\" can be "
               "installed";
    }
    return "\"" + state + "\"; only a row showing \"No\" can be installed";
}
