#include "LoopbackPeer.h"
#include "XrmSearch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

using namespace std::chrono_literals;

namespace {

class XrmSearchTest : public testing::Test {
  protected:
    std::unique_ptr<XrmSearch> Make(int* result = nullptr) {
        XrmSearch::Config config;
        config.localPort = 0;
        config.destination = kLoopback;
        config.destinationPort = camera.Port();
        config.diagnostics = &diagnostics;
        config.random = [this] { return nextIdentifier++; };
        int ignored;
        auto search = XrmSearch::Create(std::move(config), result ? result : &ignored);
        EXPECT_TRUE(search);
        EXPECT_EQ(search->SetCallback([this](int event, const XrmDeviceMessage* message) { OnEvent(event, message); }),
                  0);
        return search;
    }

    void OnEvent(int event, const XrmDeviceMessage* message) {
        std::unique_lock lock(mutex);
        if (event == XrmSearch::kEventAnswer) {
            answers.push_back(*message);
            cv.notify_all();
            cv.wait(lock, [this] { return !holdAnswers; });
        } else {
            events.push_back(event);
            cv.notify_all();
        }
    }

    bool WaitForAnswers(size_t count, std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex);
        return cv.wait_for(lock, timeout, [&] { return answers.size() >= count; });
    }

    void Release() {
        std::lock_guard lock(mutex);
        holdAnswers = false;
        cv.notify_all();
    }

    // Reads the three copies of one query; returns its identifier.
    uint32_t ReceiveQuery(uint16_t* workerPort) {
        uint32_t identifier = 0;
        for (int copy = 0; copy < 3; ++copy) {
            const auto query = camera.Receive(2000, workerPort);
            EXPECT_TRUE(query);
            if (!query) {
                return 0;
            }
            EXPECT_EQ(query->size(), 5u);
            EXPECT_EQ((*query)[0], 1);
            identifier = IdentifierOf(*query);
        }
        return identifier;
    }

    LoopbackPeer camera;
    RecordingDiagnostics diagnostics;
    uint32_t nextIdentifier = 0x01020304;
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<XrmDeviceMessage> answers;
    std::vector<int> events;
    bool holdAnswers = false;
};

constexpr std::array<uint8_t, 6> kMac{0x02, 0x5E, 0xA1, 0xCC, 0x55, 0xBA};

}  // namespace

TEST_F(XrmSearchTest, ReportsAndAcknowledgesOnlyAnswersToTheCurrentQuery) {
    auto search = Make();
    ASSERT_EQ(search->Start(), 0);
    ASSERT_EQ(search->PostBroadcast(), 0);
    uint16_t workerPort = 0;
    const uint32_t identifier = ReceiveQuery(&workerPort);
    EXPECT_EQ(identifier, 0x01020304u);
    EXPECT_EQ(workerPort, search->LocalPort());

    camera.Send(XrmRecord(identifier + 1, kMac, "stale"), workerPort);
    camera.Send({2, 0, 0}, workerPort);  // too short to parse
    camera.Send(XrmRecord(identifier, kMac, std::string(50, 'Q')), workerPort);
    ASSERT_TRUE(WaitForAnswers(1, 2s));
    const auto ack = camera.Receive(2000);
    ASSERT_TRUE(ack);
    EXPECT_EQ(*ack, (std::vector<uint8_t>{3, 0x04, 0x03, 0x02, 0x01}));
    EXPECT_FALSE(camera.Receive(200));  // the stale answer was not acknowledged

    search.reset();
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].model, std::string(40, 'Q'));
    EXPECT_EQ(answers[0].address, "192.168.0.77");
    EXPECT_EQ(answers[0].mac, MacAddress(kMac));
    EXPECT_EQ(events, std::vector<int>{XrmSearch::kEventEnded});
    const std::string out = diagnostics.Text(Diagnostics::Stream::Out);
    EXPECT_NE(out.find("socket created.\nset broadcast ok\nbind successed.\n"), std::string::npos);
    EXPECT_NE(out.find("broadcas ID:16909060\n"), std::string::npos);
    EXPECT_NE(out.find("Got response ID = 16909061!!\n"), std::string::npos);
    EXPECT_NE(out.find("Got response ID = 16909060!!\n"), std::string::npos);
    EXPECT_NE(diagnostics.Text(Diagnostics::Stream::Err).find("error parsing packet\n"), std::string::npos);
}

TEST_F(XrmSearchTest, ReadsEveryWaitingAnswerBeforePausing) {
    auto search = Make();
    ASSERT_EQ(search->Start(), 0);
    ASSERT_EQ(search->PostBroadcast(), 0);
    uint16_t workerPort = 0;
    const uint32_t identifier = ReceiveQuery(&workerPort);
    constexpr int kCameras = 60;
    for (int i = 0; i < kCameras; ++i) {
        camera.Send(XrmRecord(identifier, {0x02, 0x5E, 0xA1, 0xCD, 0xDB, static_cast<uint8_t>(0x78 + i)}, "QM52X3"),
                    workerPort);
    }
    // One answer per 100 ms pause would take six seconds.
    EXPECT_TRUE(WaitForAnswers(kCameras, 1500ms));
    int acks = 0;
    while (camera.Receive(300)) {
        ++acks;
    }
    EXPECT_EQ(acks, kCameras);
}

TEST_F(XrmSearchTest, DatagramLongerThanTheBufferIsAReceiveErrorNotAShortAnswer) {
    auto search = Make();
    ASSERT_EQ(search->Start(), 0);
    ASSERT_EQ(search->PostBroadcast(), 0);
    uint16_t workerPort = 0;
    const uint32_t identifier = ReceiveQuery(&workerPort);
    // Its first 150 bytes alone are a whole record; the option after them is what the buffer cannot hold.
    std::vector<uint8_t> longer = XrmRecord(identifier, kMac, std::string(129, 'L'));
    ASSERT_EQ(longer.size(), kXrmMaxDatagram);
    longer.insert(longer.end(), {4, 3, 'x', 'y', 'z'});
    camera.Send(longer, workerPort);
    camera.Send(XrmRecord(identifier, kMac, "QM52X3"), workerPort);
    ASSERT_TRUE(WaitForAnswers(1, 2s));
    search.reset();
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].model, "QM52X3");
    EXPECT_NE(diagnostics.Text(Diagnostics::Stream::Err).find("recvfrom error 90\n"), std::string::npos);
}

TEST_F(XrmSearchTest, EleventhCommandIsRefusedWhileTheWorkerIsBusy) {
    auto search = Make();
    holdAnswers = true;
    ASSERT_EQ(search->Start(), 0);
    ASSERT_EQ(search->PostBroadcast(), 0);
    uint16_t workerPort = 0;
    const uint32_t identifier = ReceiveQuery(&workerPort);
    camera.Send(XrmRecord(identifier, kMac, "QM52X3"), workerPort);
    ASSERT_TRUE(WaitForAnswers(1, 2s));  // the worker now waits in the callback
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(search->PostBroadcast(), 0) << i;
    }
    EXPECT_EQ(search->PostBroadcast(), -2);
    EXPECT_EQ(search->PostStop(), -2);
    Release();
    const auto start = std::chrono::steady_clock::now();
    search.reset();  // stops although the stop command found the queue full
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
}

TEST_F(XrmSearchTest, StopsPromptlyFromTheSocketWaitAndReportsBindFailures) {
    auto search = Make();
    ASSERT_EQ(search->Start(), 0);
    EXPECT_EQ(search->Start(), -2);
    std::this_thread::sleep_for(100ms);  // into the 2 s socket wait
    const auto start = std::chrono::steady_clock::now();
    search.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
    EXPECT_EQ(events, std::vector<int>{XrmSearch::kEventEnded});

    // A second search on a port in use fails to bind.
    auto first = Make();
    XrmSearch::Config config;
    config.localPort = first->LocalPort();
    config.diagnostics = &diagnostics;
    int result = 0;
    EXPECT_FALSE(XrmSearch::Create(config, &result));
    EXPECT_EQ(result, -4);
    EXPECT_NE(diagnostics.Text(Diagnostics::Stream::Err).find("bind error 98\n"), std::string::npos);
    EXPECT_EQ(first->SetCallback({}), -1);
}

TEST_F(XrmSearchTest, BroadcastFailureIsReported) {
    XrmSearch::Config config;
    config.localPort = 0;
    config.destination = kLoopback;
    config.destinationPort = 0;  // the kernel refuses to send to port 0
    config.diagnostics = &diagnostics;
    int result = 0;
    auto search = XrmSearch::Create(config, &result);
    ASSERT_TRUE(search);
    search->SetCallback([this](int event, const XrmDeviceMessage* message) { OnEvent(event, message); });
    ASSERT_EQ(search->Start(), 0);
    ASSERT_EQ(search->PostBroadcast(), 0);
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(cv.wait_for(lock, 2s, [this] { return !events.empty(); }));
    }
    search.reset();
    EXPECT_EQ(events, (std::vector<int>{XrmSearch::kEventBroadcastFailed, XrmSearch::kEventEnded}));
    EXPECT_NE(diagnostics.Text(Diagnostics::Stream::Out).find("Outsend fail\n"), std::string::npos);
}
