#include "RestorePlan.h"

std::optional<RestorePlan> PlanRestore(const RecordStore& store, const CameraRecord& camera,
                                       const std::optional<uint32_t>& ip, const std::optional<std::string>& file,
                                       RestoreProblem* problem, std::string* error) {
    RestorePlan plan;
    plan.target = camera;
    const std::vector<InstallRecord> records = store.Records(camera.mac);
    for (auto it = records.rbegin(); it != records.rend(); ++it) {
        if (it->backedUp && !plan.from) {
            plan.from = *it;
        }
    }
    std::optional<std::string> bytes;
    if (file) {
        bytes = RecordStore::ReadFile(*file, error);
        plan.from.reset();
    } else if (plan.from) {
        bytes = RecordStore::ReadFile(store.PreviousPath(*plan.from), error);
    } else {
        *problem = RestoreProblem::NothingKept;
        *error = "no settings of " + camera.mac.Text() + " are kept in " + store.CameraDirectory(camera.mac);
        return std::nullopt;
    }
    if (bytes && bytes->empty()) {
        *error = (file ? *file : store.PreviousPath(*plan.from)) + ": the file is empty";
        bytes.reset();
    }
    if (!bytes) {
        *problem = RestoreProblem::Unreadable;
        return std::nullopt;
    }
    // The camera keeps the address an installation gave it; the list may still show its DHCP lease.
    for (auto it = records.rbegin(); it != records.rend(); ++it) {
        if (it->newAddress != 0 && (it->outcome == "installed" || it->outcome == "not-kept")) {
            plan.target.address = it->newAddress;
            break;
        }
    }
    const uint32_t destination = ip.value_or(plan.from ? plan.from->oldAddress : 0);
    if (destination == 0) {
        *problem = RestoreProblem::NoAddress;
        *error = "no earlier address of " + camera.mac.Text() + " is recorded: give the address to go to";
        return std::nullopt;
    }
    plan.params = InstallParams::ForCamera(plan.target);
    plan.params.m_newAddress = destination;
    plan.restore = {*bytes, plan.target.address == destination};
    *problem = RestoreProblem::None;
    return plan;
}
