#pragma once

#include "AdapterInfo.h"
#include "CommandQueue.h"
#include "Diagnostics.h"
#include "UdpSocket.h"
#include "XrmProtocol.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

// Query identifiers and other unpredictable numbers: a generator seeded with the time of the call.
std::function<uint32_t()> TimeSeededRandom();

// The active search: a worker thread that broadcasts XRM queries, reports the answers that carry the
// current query identifier through the callback and acknowledges each one to its sender.
//
// The callback runs on the worker thread. Events: 1 = answer (message valid during the call only),
// 4 = worker ended, 5 = broadcast failed (no message).
//
// Destruction stops the worker and waits for it: at most one pending send attempt and a short queue wait,
// never the 2 s socket wait. A callback that blocks must be released by its owner before destroying this.
class XrmSearch {
  public:
    enum Event { kEventAnswer = 1, kEventEnded = 4, kEventBroadcastFailed = 5 };
    using Callback = std::function<void(int event, const XrmDeviceMessage* message)>;

    struct Config {
        uint16_t localPort = 9000;           // 0 picks a free port (tests)
        uint32_t destination = 0xFFFFFFFFu;  // host order; the program always broadcasts
        uint16_t destinationPort = 10000;
        // For the broadcast destination: each copy of the query goes out of every one of these adapters
        // (once per interface and address, from that address), so every segment and every subnet on it hears
        // it even without a default route. Empty: one plain send that the routing table directs.
        std::vector<AdapterInfo> adapters;
        std::function<uint32_t()> random;    // query identifiers; default: seeded with the time
        Diagnostics* diagnostics = nullptr;  // required
    };

    // *result: 0; -1 no memory; -3 broadcast option refused; -4 bind failed; -5 queue not created
    // (the socket is also created here: a creation failure is reported as -4).
    static std::unique_ptr<XrmSearch> Create(Config config, int* result);
    ~XrmSearch();
    XrmSearch(const XrmSearch&) = delete;
    XrmSearch& operator=(const XrmSearch&) = delete;

    int SetCallback(Callback callback);  // 0; -1 when empty. Before Start.
    int Start();                         // 0; -2 thread not created; also -2 when already started
    int PostBroadcast();                 // 0; -2 queue full
    int PostStop();                      // 0; -2 queue full

    uint16_t LocalPort() const { return m_socket->LocalPort(); }
    uint32_t CurrentIdentifier() const { return m_identifier.load(); }

  private:
    XrmSearch(Config config, std::unique_ptr<UdpSocket> socket, int wakeFd);
    void Run();
    int Broadcast();
    int SendWithAttempts(std::span<const uint8_t> data, uint32_t address, uint16_t port, std::optional<int> interface,
                         uint32_t source);
    void HandleDatagram(std::span<const uint8_t> data, const UdpSocket::Datagram& from);
    void Wake();

    Config m_config;
    std::unique_ptr<UdpSocket> m_socket;
    int m_wakeFd;  // eventfd, semaphore mode: one count per posted command, so a post cuts the socket wait
    Callback m_callback;
    CommandQueue m_queue;
    std::atomic<int> m_running{0};
    std::atomic<bool> m_stopRequested{false};
    std::atomic<uint32_t> m_identifier{0};
    std::mutex m_sleepMutex;
    std::condition_variable m_sleepCv;
    std::thread m_thread;
};
