// The XRM broadcast in a network namespace of its own (root only): every adapter address gets each copy of the
// query even without a default route, and one failing adapter does not silence the others.
#include "LoopbackPeer.h"
#include "XrmSearch.h"

#include <gtest/gtest.h>

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstring>
#include <future>
#include <set>
#include <thread>

namespace {

struct Outcome {
    bool namespaced = false;
    int queries = 0;
    std::multiset<uint32_t> sources;
    bool failureReported = false;
    std::string diagnostics;
};

bool BringLoopbackUp() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags |= IFF_UP;
    ok = ok && ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    ::close(fd);
    return ok;
}

// Runs on a thread of its own that leaves the machine's namespace for a new, empty one (only loopback, no
// routes); sockets made there and the worker it starts stay in it.
Outcome BroadcastInNewNamespace(std::vector<AdapterInfo> adapters) {
    Outcome outcome;
    if (::unshare(CLONE_NEWNET) != 0 || !BringLoopbackUp()) {
        return outcome;
    }
    outcome.namespaced = true;
    int error = 0;
    auto receiver = UdpSocket::Create(&error);
    receiver->Bind(0, 0);
    RecordingDiagnostics diagnostics;
    XrmSearch::Config config;
    config.localPort = 0;
    config.destinationPort = receiver->LocalPort();
    config.adapters = std::move(adapters);
    config.diagnostics = &diagnostics;
    int result = 0;
    auto search = XrmSearch::Create(config, &result);
    std::promise<void> failed;
    search->SetCallback([&](int event, const XrmDeviceMessage*) {
        if (event == XrmSearch::kEventBroadcastFailed) {
            failed.set_value();
        }
    });
    search->Start();
    search->PostBroadcast();
    uint8_t buffer[64];
    UdpSocket::Datagram datagram;
    while (receiver->WaitReadable(500) > 0 && receiver->Receive(buffer, &datagram) == 0) {
        if (datagram.length == 5 && buffer[0] == 1) {
            ++outcome.queries;
            outcome.sources.insert(datagram.sourceAddress);
        }
    }
    outcome.failureReported = failed.get_future().wait_for(std::chrono::seconds(1)) == std::future_status::ready;
    search.reset();
    outcome.diagnostics = diagnostics.Text(Diagnostics::Stream::Out);
    return outcome;
}

Outcome RunIsolated(std::vector<AdapterInfo> adapters) {
    Outcome outcome;
    std::thread thread([&] { outcome = BroadcastInNewNamespace(std::move(adapters)); });
    thread.join();
    return outcome;
}

}  // namespace

TEST(XrmLab, EveryAdapterGetsTheQueryWithoutADefaultRoute) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root for network namespaces";
    }
    // Without per-adapter sending the kernel refuses 255.255.255.255 here: no route.
    const Outcome plain = RunIsolated({});
    if (!plain.namespaced) {
        GTEST_SKIP() << "cannot create a network namespace";
    }
    EXPECT_EQ(plain.queries, 0);
    EXPECT_TRUE(plain.failureReported);
    EXPECT_NE(plain.diagnostics.find("Outsend fail\n"), std::string::npos);

    const int lo = static_cast<int>(if_nametoindex("lo"));
    const Outcome perAdapter =
        RunIsolated({{"127.0.0.1", "255.0.0.0", "lo", lo}, {"127.0.0.1", "255.0.0.0", "lo", lo}});
    EXPECT_EQ(perAdapter.queries, 3);  // an address listed twice is asked from once
    EXPECT_FALSE(perAdapter.failureReported);

    // Two addresses of one interface (two subnets on one port): each copy goes out from each of them.
    const Outcome perAddress =
        RunIsolated({{"127.0.0.1", "255.255.255.0", "lo", lo}, {"127.0.1.1", "255.255.255.0", "lo", lo}});
    EXPECT_EQ(perAddress.sources,
              (std::multiset<uint32_t>{0x7F000001u, 0x7F000001u, 0x7F000001u, 0x7F000101u, 0x7F000101u, 0x7F000101u}));

    // An adapter that has gone away fails; the other still gets all three copies and the failure is reported.
    const Outcome oneBad =
        RunIsolated({{"10.9.9.9", "255.255.255.0", "gone0", 9999}, {"127.0.0.1", "255.0.0.0", "lo", lo}});
    EXPECT_EQ(oneBad.queries, 3);
    EXPECT_TRUE(oneBad.failureReported);
    EXPECT_EQ(oneBad.diagnostics.find("Outsend fail\n"), oneBad.diagnostics.rfind("Outsend fail\n"));
}
