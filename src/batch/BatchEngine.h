#pragma once

// Installs many cameras at once. Each camera runs the install worker's whole installation (the same pauses,
// checks, texts, cleanup and safety rules) in an InstallSession of its own, at most `jobs` at a time, each with
// its own echo identifier, FTP transfer and diagnostics, so one camera's failure never disturbs another. A camera
// given no address takes the next free one of the range; when its address turns out to be in use, it takes the
// next one and starts again.
//
// No installation ever waits for the disk or an observer: changes are recorded under a short lock, the state file
// is written by a thread of its own (always the latest status of every camera, changes coalesced) and the
// observer is called on another.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "AddressRange.h"
#include "BatchCameraStatus.h"
#include "BatchStateFile.h"
#include "CameraRecord.h"
#include "Diagnostics.h"
#include "InstallParams.h"
#include "InstallPlatformSource.h"
#include "InstallWorker.h"

// One camera of a batch.
struct BatchItem {
    CameraRecord camera;              // as the list showed it; installable (its row reads "No")
    InstallParams params;             // what the wizard would end with; m_newAddress 0: take one from the range
    std::optional<uint16_t> ftpPort;  // tried, as the first answer to a refused login, with ftpPassword
    std::optional<std::string> ftpPassword;
};

class BatchObserver {
  public:
    virtual ~BatchObserver() = default;
    // From the engine's reporting thread, in the order the changes happened: the camera's status after a change of
    // its state, new address, progress or text. A camera's ending is reported once the state file holds it (or
    // could not be written).
    virtual void Changed(const BatchCameraStatus& status) = 0;
    // As InstallUi::UpdateRow: the camera holds the address now; installed once the whole installation succeeded.
    virtual void AddressTaken(const MacAddress& mac, uint32_t address, bool installed) = 0;
};

class BatchEngine {
  public:
    // The platform of one installation: its echo identifier, and the diagnostics its lines go to.
    using PlatformFactory =
        std::function<std::unique_ptr<InstallPlatformSource>(uint16_t identifier, Diagnostics& diagnostics)>;

    struct Settings {
        int jobs = kMaxJobs;
        AddressAllocator* range = nullptr;   // for items without an address; may be null otherwise
        BatchStateFile* state = nullptr;     // written on every change; may be null
        Diagnostics* diagnostics = nullptr;  // every installation's lines, prefixed with the camera's MAC
        uint16_t firstIdentifier = 0;        // installation n uses firstIdentifier + n
        bool watch = false;                  // more cameras may be added with Add until Close
    };

    // As many as the helper keeps addresses under installation at once.
    static constexpr int kMaxJobs = 256;

    BatchEngine(std::vector<BatchItem> items, Settings settings, PlatformFactory factory, BatchObserver& observer);
    // Stops and joins: not on a thread that the observer waits for while installations still run.
    ~BatchEngine();
    BatchEngine(const BatchEngine&) = delete;
    BatchEngine& operator=(const BatchEngine&) = delete;

    void Start();
    // Watch mode: one more camera, installed as soon as a lane is free (a new lane starts while fewer than `jobs`
    // run). Ignored after Close, RequestStop or Join.
    void Add(BatchItem item);
    // Watch mode: no more cameras come; the lanes end once the last one has.
    void Close();
    // Running installations end cleanly (as Stopped, their cleanup done); waiting ones never start. Returns at
    // once (safe from a thread the observer waits for); Join waits for the endings.
    void RequestStop();
    // Closes, waits until every camera has ended and every change is written and reported.
    void Join();
    // Closed, every camera ended and every change reported.
    bool Finished() const;
    // An installation met a fatal failure (its echo socket could not be opened or set up). Where a single
    // installation ends the process, the batch stops every other one cleanly first; the owner then ends the process
    // with InstallWorker::kFatalExitCode.
    bool Fatal() const;
    // Every camera's status now, in the order the items were given; final once Finished.
    std::vector<BatchCameraStatus> Results() const;

  private:
    class Impl;
    std::unique_ptr<Impl> m_impl;
};
