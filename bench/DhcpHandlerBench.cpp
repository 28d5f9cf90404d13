// The port-67 handler (filter, option walk, table update) against a table of 10,000 cameras.
#include "DiscoveryCore.h"

#include <benchmark/benchmark.h>

#include <array>
#include <string>
#include <vector>

namespace {

struct NullUi : DiscoveryUi {
    void ShowMessage(std::string_view, std::string_view) override {}
};
struct NullTimer : RequeryTimerControl {
    void StartTimer(int) override {}
    void StopTimer() override {}
};

constexpr int kRows = 10000;

std::array<uint8_t, 6> CameraMac(int i) {
    const uint32_t low = 0x7CE333u + static_cast<uint32_t>(i);
    return {
        0x02, 0x5E, 0xA3, static_cast<uint8_t>(low >> 16), static_cast<uint8_t>(low >> 8), static_cast<uint8_t>(low)};
}

// A DHCP request as a camera sends it while renewing: BOOTP header, cookie, the usual options.
std::vector<uint8_t> Request(const std::array<uint8_t, 6>& mac, int i) {
    // Written into a buffer of the final size: GCC 12 at -O2 misreads the bounds of vector::insert after a
    // reallocation (-Warray-bounds), and a fixed size is what goes on the wire anyway.
    std::vector<uint8_t> p(300, 0);
    size_t at = 0;
    auto add = [&p, &at](std::initializer_list<uint8_t> bytes) {
        for (uint8_t b : bytes) {
            p.at(at++) = b;
        }
    };
    auto addRange = [&p, &at](auto first, auto last) {
        for (; first != last; ++first) {
            p.at(at++) = static_cast<uint8_t>(*first);
        }
    };
    p[0] = 1;
    p[1] = 1;
    p[2] = 6;
    p[4] = static_cast<uint8_t>(i);
    std::copy(mac.begin(), mac.end(), p.begin() + 28);
    at = 236;
    add({99, 130, 83, 99});
    add({53, 1, 3});
    add({61, 7, 1});
    addRange(mac.begin(), mac.end());
    add({50, 4, 192, 168, 0, static_cast<uint8_t>(i)});
    add({54, 4, 192, 168, 0, 1});
    const std::string host = i % 2 ? "NV4413-0102" : "QM52X2-0200";
    add({12, static_cast<uint8_t>(host.size())});
    addRange(host.begin(), host.end());
    add({55, 7, 1, 3, 6, 12, 15, 28, 42});
    add({255});
    return p;
}

class Fixture {
  public:
    Fixture() : core(DiscoveryCore::Hooks{&ui, [] {}, &timer, [] { return 7u; }}) {
        core.SetAdapters({{"192.168.0.2", "255.255.255.0", "eth0", 2}});
        for (int i = 0; i < kRows; ++i) {
            packets.push_back(Request(CameraMac(i), i));
            core.HandleClientPacket(packets.back());
        }
    }
    NullUi ui;
    NullTimer timer;
    DiscoveryCore core;
    std::vector<std::vector<uint8_t>> packets;
};

// Known cameras renewing: the steady state of a busy segment.
void BM_ClientPacketKnownCameras(benchmark::State& state) {
    Fixture fixture;
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(fixture.core.HandleClientPacket(fixture.packets[i]));
        i = (i + 7919) % fixture.packets.size();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_ClientPacketKnownCameras);

// Known cameras whose rows read "Yes": every packet rewrites two cells.
void BM_ClientPacketRowsChanging(benchmark::State& state) {
    Fixture fixture;
    size_t i = 0;
    for (auto _ : state) {
        CameraRecord camera = fixture.core.Table().Record(i);
        camera.assigned = Assignment::Yes;
        fixture.core.Table().Update(i, camera);
        benchmark::DoNotOptimize(fixture.core.HandleClientPacket(fixture.packets[i]));
        i = (i + 7919) % fixture.packets.size();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_ClientPacketRowsChanging);

// Other hosts' DHCP traffic, dropped by the address filter.
void BM_ClientPacketForeignHosts(benchmark::State& state) {
    Fixture fixture;
    std::vector<uint8_t> foreign = Request({0x00, 0x1B, 0x21, 0x01, 0x02, 0x03}, 1);
    for (auto _ : state) {
        benchmark::DoNotOptimize(fixture.core.HandleClientPacket(foreign));
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_ClientPacketForeignHosts);

}  // namespace

BENCHMARK_MAIN();
