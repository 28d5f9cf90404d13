#include "XrmSearch.h"

#include "ByteReader.h"
#include "DottedAddress.h"
#include "Ipv4Text.h"

#include <sys/eventfd.h>
#include <unistd.h>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <new>
#include <random>
#include <set>

namespace {

using Stream = Diagnostics::Stream;
constexpr int kReceiveBufferBytes = 1 << 20;
constexpr int kSendAttempts = 3;
constexpr int kQueryCopies = 3;
constexpr auto kCommandWait = std::chrono::milliseconds(20);
constexpr int kSocketWaitMs = 2000;
constexpr auto kPause = std::chrono::milliseconds(100);

}  // namespace

std::function<uint32_t()> TimeSeededRandom() {
    auto engine = std::make_shared<std::minstd_rand>(static_cast<uint32_t>(std::time(nullptr)));
    return [engine] { return static_cast<uint32_t>((*engine)()); };
}

std::unique_ptr<XrmSearch> XrmSearch::Create(Config config, int* result) {
    int ignored;
    int& code = result ? *result : ignored;
    Diagnostics& diagnostics = *config.diagnostics;
    int error = 0;
    auto socket = UdpSocket::Create(&error);
    if (!socket) {
        diagnostics.Print(Stream::Err, "socket error %d\n", error);
        code = -4;
        return nullptr;
    }
    diagnostics.Print(Stream::Out, "socket created.\n");
    if ((error = socket->SetBroadcast()) != 0) {
        diagnostics.Print(Stream::Err, "setsockopt error %d\n", error);
        code = -3;
        return nullptr;
    }
    diagnostics.Print(Stream::Out, "set broadcast ok\n");
    // Hundreds of cameras answer one broadcast at once; a small buffer would drop most of them.
    if ((error = socket->SetReceiveBuffer(kReceiveBufferBytes)) != 0) {
        diagnostics.Print(Stream::Err, "setsockopt error %d\n", error);
    }
    // The arrival interface lets the acknowledgement leave where the answer came in.
    if ((error = socket->EnablePacketInfo()) != 0) {
        diagnostics.Print(Stream::Err, "setsockopt error %d\n", error);
    }
    if ((error = socket->Bind(0, config.localPort)) != 0) {
        diagnostics.Print(Stream::Err, "bind error %d\n", error);
        code = -4;
        return nullptr;
    }
    diagnostics.Print(Stream::Out, "bind successed.\n");
    const int wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK | EFD_SEMAPHORE);
    if (wakeFd < 0) {
        code = -5;
        return nullptr;
    }
    if (!config.random) {
        config.random = TimeSeededRandom();
    }
    XrmSearch* search = new (std::nothrow) XrmSearch(std::move(config), std::move(socket), wakeFd);
    if (search == nullptr) {
        ::close(wakeFd);
        code = -1;
        return nullptr;
    }
    code = 0;
    return std::unique_ptr<XrmSearch>(search);
}

XrmSearch::XrmSearch(Config config, std::unique_ptr<UdpSocket> socket, int wakeFd)
    : m_config(std::move(config)), m_socket(std::move(socket)), m_wakeFd(wakeFd) {}

XrmSearch::~XrmSearch() {
    if (m_thread.joinable()) {
        {
            std::lock_guard lock(m_sleepMutex);
            m_stopRequested = true;
        }
        m_sleepCv.notify_all();
        PostStop();  // may be refused when the queue is full; the flag stops the worker regardless
        Wake();
        m_thread.join();
    }
    ::close(m_wakeFd);
}

int XrmSearch::SetCallback(Callback callback) {
    if (!callback) {
        return -1;
    }
    m_callback = std::move(callback);
    return 0;
}

int XrmSearch::Start() {
    if (m_thread.joinable()) {
        return -2;
    }
    m_running = 1;
    try {
        m_thread = std::thread([this] { Run(); });
    } catch (const std::system_error&) {
        m_running = 0;
        return -2;
    }
    return 0;
}

int XrmSearch::PostBroadcast() {
    const int result = m_queue.Put(CommandQueue::kBroadcast);
    if (result == 0) {
        Wake();
    }
    return result;
}

int XrmSearch::PostStop() {
    const int result = m_queue.Put(CommandQueue::kStop);
    if (result == 0) {
        Wake();
    }
    return result;
}

void XrmSearch::Wake() {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(m_wakeFd, &one, sizeof one);
}

void XrmSearch::Run() {
    Diagnostics& diagnostics = *m_config.diagnostics;
    while (m_running == 1 && !m_stopRequested) {
        if (const auto command = m_queue.Take(kCommandWait)) {
            if (*command == CommandQueue::kBroadcast) {
                if (Broadcast() != 0 && m_callback) {
                    m_callback(kEventBroadcastFailed, nullptr);
                }
            } else if (*command == CommandQueue::kStop) {
                m_running = 0;
                break;
            }
        }
        if (m_stopRequested) {
            break;
        }
        // A posted command cuts the wait short (one count per command), so stop never waits out 2 s.
        bool woken = false;
        const int ready = m_socket->WaitReadable(kSocketWaitMs, m_wakeFd, &woken);
        if (woken) {
            uint64_t count;
            [[maybe_unused]] const ssize_t got = ::read(m_wakeFd, &count, sizeof count);
        }
        if (ready < 0) {
            diagnostics.Print(Stream::Err, "select error %d\n", -ready);
        } else if (ready == 0 && !woken) {
            diagnostics.Print(Stream::Err, "select timeout\n");
        }
        if (ready > 0) {
            // Everything already waiting is read before the pause: the pause alone would cap the worker at
            // about ten answers a second.
            for (;;) {
                uint8_t buffer[kXrmMaxDatagram];
                UdpSocket::Datagram from;
                int error = m_socket->Receive(buffer, &from);
                if (error == EAGAIN || error == EWOULDBLOCK) {
                    break;
                }
                if (error == 0 && from.truncated) {
                    // Longer than any answer: its first 150 bytes could parse as a record the camera never sent.
                    error = EMSGSIZE;
                }
                if (error != 0) {
                    diagnostics.Print(Stream::Err, "recvfrom error %d\n", error);
                    break;
                }
                HandleDatagram(std::span<const uint8_t>(buffer, from.length), from);
                if (m_stopRequested) {
                    break;
                }
            }
            std::unique_lock lock(m_sleepMutex);
            m_sleepCv.wait_for(lock, kPause, [this] { return m_stopRequested.load(); });
        } else if (!woken) {
            std::unique_lock lock(m_sleepMutex);
            m_sleepCv.wait_for(lock, kPause, [this] { return m_stopRequested.load(); });
        }
    }
    m_running = 0;
    if (m_callback) {
        m_callback(kEventEnded, nullptr);
    }
}

void XrmSearch::HandleDatagram(std::span<const uint8_t> data, const UdpSocket::Datagram& from) {
    Diagnostics& diagnostics = *m_config.diagnostics;
    const auto answer = ParseXrmDatagram(data);
    if (!answer) {
        diagnostics.Print(Stream::Err, "error parsing packet\n");
        return;
    }
    diagnostics.Print(Stream::Out, "Got response ID = %lu!!\n", static_cast<unsigned long>(answer->identifier));
    const uint32_t current = m_identifier.load();
    if (answer->identifier != current) {
        return;
    }
    XrmDeviceMessage message;
    message.model = answer->model;
    message.mac = MacAddress(answer->mac);
    message.address = FormatDottedAddress(ByteReader(answer->address).U32Be().value_or(0));
    message.secondText = answer->secondText;
    if (m_callback) {
        m_callback(kEventAnswer, &message);
    }
    XrmAnswer ack;
    ack.type = kXrmAcknowledgement;
    ack.identifier = current;
    uint8_t buffer[kXrmMaxDatagram];
    const auto length = BuildXrmDatagram(buffer, ack);
    if (length) {
        SendWithAttempts(std::span<const uint8_t>(buffer, *length), from.sourceAddress, from.sourcePort, from.interface,
                         0);
    }
}

int XrmSearch::Broadcast() {
    Diagnostics& diagnostics = *m_config.diagnostics;
    const uint32_t identifier = m_config.random();
    m_identifier = identifier;
    diagnostics.Print(Stream::Out, "broadcas ID:%lu\n", static_cast<unsigned long>(identifier));
    XrmAnswer query;
    query.type = kXrmQuery;
    query.identifier = identifier;
    uint8_t buffer[kXrmMaxDatagram];
    const auto length = BuildXrmDatagram(buffer, query);
    if (!length) {
        return -1;
    }
    const std::span<const uint8_t> datagram(buffer, *length);

    // Linux sends 255.255.255.255 out of the one interface the routing table picks, or not at all without
    // a default route: each copy goes out of every adapter instead, once from each of its addresses, since a
    // camera answers only a querier in its own subnet.
    struct Route {
        std::optional<int> interface;
        uint32_t source;
    };
    std::vector<Route> routes;
    if (m_config.destination == 0xFFFFFFFFu) {
        std::set<std::pair<int, uint32_t>> seen;
        for (const AdapterInfo& adapter : m_config.adapters) {
            const uint32_t source = ParseDottedAddress(adapter.address).value_or(0);
            if (adapter.interfaceIndex > 0 && seen.insert({adapter.interfaceIndex, source}).second) {
                routes.push_back({adapter.interfaceIndex, source});
            }
        }
    }
    if (routes.empty()) {
        routes.push_back({std::nullopt, 0});
    }
    // An adapter whose send fails is left out of the remaining copies; the others still get theirs, and the
    // broadcast reports the failure.
    std::vector<bool> failed(routes.size(), false);
    int result = 0;
    for (int copy = 0; copy < kQueryCopies; ++copy) {
        for (size_t i = 0; i < routes.size(); ++i) {
            if (failed[i]) {
                continue;
            }
            const int sent = SendWithAttempts(datagram, m_config.destination, m_config.destinationPort,
                                              routes[i].interface, routes[i].source);
            if (sent != 0) {
                failed[i] = true;
                result = sent;
            }
        }
    }
    return result;
}

int XrmSearch::SendWithAttempts(std::span<const uint8_t> data, uint32_t address, uint16_t port,
                                std::optional<int> interface, uint32_t source) {
    for (int attempt = 0; attempt < kSendAttempts; ++attempt) {
        const int error = m_socket->SendTo(data, address, port, interface, source);
        if (error == 0) {
            return 0;
        }
        if (error != EAGAIN && error != EWOULDBLOCK) {
            m_config.diagnostics->Print(Stream::Out, "Outsend fail\n");
            return -4;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return -2;
}
