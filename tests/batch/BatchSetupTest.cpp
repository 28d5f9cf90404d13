#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "BatchSetup.h"

namespace {

MacAddress Mac(uint8_t last) {
    return MacAddress({0x02, 0x5E, 0xA1, 0xCD, 0xE1, last});
}

CameraRecord Camera(uint8_t last, Assignment assigned = Assignment::No) {
    return {.mac = Mac(last), .address = 0x0AD50764u + last, .assigned = assigned, .gateway = 0x0AD50701u};
}

// A camera whose DHCP acknowledgement has brought its mask.
CameraRecord Acked(uint8_t last, Assignment assigned = Assignment::No) {
    CameraRecord camera = Camera(last, assigned);
    camera.mask = 0xFFFFFF00u;
    return camera;
}

PlanRow Row(int line, uint8_t last, uint32_t ip) {
    PlanRow row;
    row.line = line;
    row.options.mac = Mac(last);
    row.options.ip = ip;
    return row;
}

TEST(BatchSetupTest, OnlyInstallableCamerasRunAndBadValuesStopEverything) {
    const std::vector<CameraRecord> cameras{Camera(3), Camera(1), Camera(2, Assignment::Yes), Camera(4),
                                            Camera(5, Assignment::Pending)};
    BatchStateFile state("");
    BatchCameraStatus done;
    done.mac = Mac(4);
    done.state = BatchCameraState::Installed;
    done.newAddress = 0x0AD5071E;
    std::string error;
    ASSERT_TRUE(state.Put(done, &error));
    BatchCameraStatus failed;
    failed.mac = Mac(1);
    failed.state = BatchCameraState::Failed;
    ASSERT_TRUE(state.Put(failed, &error));

    // A plan keeps its order; found, installable and not done yet is installed, failed earlier is tried again.
    BatchSelection plan = ItemsForPlan({Row(2, 3, 0x0AD50720), Row(3, 9, 0x0AD50721), Row(4, 2, 0x0AD50722),
                                        Row(5, 4, 0x0AD50723), Row(6, 1, 0x0AD50724)},
                                       cameras, &state);
    ASSERT_FALSE(plan.error);
    ASSERT_EQ(plan.items.size(), 2u);
    EXPECT_EQ(plan.items[0].camera.mac, Mac(3));
    EXPECT_EQ(plan.items[0].params.m_newAddress, 0x0AD50720u);
    EXPECT_EQ(plan.items[0].params.m_gateway, 0x0AD50701u);  // unset: as the network page shows it
    EXPECT_EQ(plan.items[1].camera.mac, Mac(1));
    ASSERT_EQ(plan.leftOut.size(), 3u);
    EXPECT_EQ(plan.leftOut[0].state, BatchCameraState::Failed);  // not found
    EXPECT_EQ(plan.leftOut[1].state, BatchCameraState::Failed);  // "Yes"
    EXPECT_EQ(plan.leftOut[2].state, BatchCameraState::Skipped);
    EXPECT_EQ(plan.leftOut[2].newAddress, 0x0AD5071Eu);

    // A value the network page refuses names the row and leaves nothing to run.
    plan = ItemsForPlan({Row(2, 3, 0x0AD50720), Row(3, 1, 0x7F000001)}, cameras, nullptr);
    ASSERT_TRUE(plan.error);
    EXPECT_EQ(plan.error->line, 3);

    // A range: every installable camera in MAC order, addresses left to the run.
    RangeRequest request{{0x0AD50700, 0x0AD50703}, 0xFFFFFF00u, std::nullopt, std::nullopt, std::nullopt, {}};
    AddressAllocator range(request.span, request.mask, {});
    BatchSelection selection = ItemsForRange(request, cameras, range, &state);
    ASSERT_FALSE(selection.error) << selection.error->message;
    ASSERT_EQ(selection.items.size(), 2u);
    EXPECT_EQ(selection.items[0].camera.mac, Mac(1));
    EXPECT_EQ(selection.items[1].camera.mac, Mac(3));
    EXPECT_EQ(selection.items[0].params.m_newAddress, 0u);
    ASSERT_EQ(selection.leftOut.size(), 1u);
    EXPECT_EQ(selection.leftOut[0].state, BatchCameraState::Skipped);

    // .0 is the network's address: three free addresses for four cameras.
    request.macs = {Mac(1), Mac(3), Mac(9), Mac(2)};
    selection = ItemsForRange(request, {Camera(1), Camera(3), Camera(2), Camera(6)}, range, nullptr);
    ASSERT_FALSE(selection.error);
    EXPECT_EQ(selection.items.size(), 3u);
    EXPECT_EQ(selection.leftOut.size(), 1u);  // not found
    selection = ItemsForRange(request, {Camera(1), Camera(3), Camera(2), Camera(9)}, range, nullptr);
    ASSERT_TRUE(selection.error);

    request.mask = 0xFFFF00FFu;  // a mask the page refuses
    selection = ItemsForRange(request, cameras, range, nullptr);
    ASSERT_TRUE(selection.error);
}

// Watch mode: cameras arrive one poll after another, some of them more than once.
TEST(BatchSetupTest, WatchHandsOutEachWantedCameraOnceAsItAppears) {
    using std::chrono::seconds;
    const std::chrono::steady_clock::time_point t0;
    BatchStateFile state("");
    BatchCameraStatus done;
    done.mac = Mac(4);
    done.state = BatchCameraState::Installed;
    std::string error;
    ASSERT_TRUE(state.Put(done, &error));
    CameraRecord unsettled = Acked(6);
    unsettled.mask = 0;  // its DHCP acknowledgement is not in yet

    struct Poll {
        std::vector<CameraRecord> shown;
        seconds at;
        std::vector<uint8_t> handed;  // MACs' last bytes, in order
        bool allNamed;
    };
    // A plan: rows 1, 4 (installed before), 5 and 6; camera 9 is no row of it.
    BatchWatch plan({Row(2, 1, 0x0AD50720), Row(3, 4, 0x0AD50721), Row(4, 5, 0x0AD50722), Row(5, 6, 0x0AD50723)},
                    &state);
    const std::vector<Poll> planPolls{
        {{Acked(9), Acked(5, Assignment::Pending)}, seconds(0), {}, false},
        {{Acked(9), Acked(1), Acked(5, Assignment::Pending), unsettled}, seconds(1), {1}, false},
        {{Acked(1), Acked(5), unsettled}, seconds(2), {5}, false},  // 1 again: already handed out
        {{Acked(1), Acked(5), unsettled}, seconds(5), {6}, true},   // settled by time
    };
    // A range: every camera reading "No" in the order they appear, the installed one skipped.
    AddressAllocator addresses({0x0AD50700, 0x0AD507FF}, 0xFFFFFF00u, {});
    BatchWatch range(RangeRequest{{0x0AD50700, 0x0AD507FF}, 0xFFFFFF00u, std::nullopt, std::nullopt, std::nullopt, {}},
                     addresses, &state);
    const std::vector<Poll> rangePolls{
        {{Acked(3), Acked(2, Assignment::Yes)}, seconds(0), {3}, false},
        {{Acked(3), Acked(1), Acked(4)}, seconds(1), {1}, false},
    };
    for (auto& [watch, polls] : {std::pair{&plan, planPolls}, {&range, rangePolls}}) {
        for (const Poll& poll : polls) {
            std::vector<uint8_t> handed;
            for (const CameraRecord& camera : poll.shown) {
                if (const auto item = watch->Offer(camera, t0 + poll.at)) {
                    handed.push_back(item->camera.mac.Octets()[5]);
                }
            }
            EXPECT_EQ(handed, poll.handed) << poll.at.count();
            EXPECT_EQ(watch->AllNamedHandled(), poll.allNamed) << poll.at.count();
        }
    }
    // Row 4 was skipped at once; the range skipped camera 4 and never hands out camera 4's address.
    const std::vector<BatchCameraStatus> planLeftOut = plan.TakeLeftOut();
    ASSERT_EQ(planLeftOut.size(), 1u);
    EXPECT_EQ(planLeftOut[0].reason, BatchReason::Skipped);
    EXPECT_TRUE(plan.Unhandled().empty());
    const std::vector<BatchCameraStatus> rangeLeftOut = range.TakeLeftOut();
    ASSERT_EQ(rangeLeftOut.size(), 1u);
    EXPECT_EQ(rangeLeftOut[0].mac, Mac(4));
    EXPECT_EQ(rangeLeftOut[0].reason, BatchReason::Skipped);

    // Named cameras never handed out end as not found, or not installable when their row never read "No".
    BatchWatch late({Row(2, 1, 0x0AD50720), Row(3, 2, 0x0AD50721)}, nullptr);
    EXPECT_FALSE(late.Offer(Acked(2, Assignment::Yes), t0));
    const std::vector<BatchCameraStatus> unhandled = late.Unhandled();
    ASSERT_EQ(unhandled.size(), 2u);
    EXPECT_EQ(unhandled[0].reason, BatchReason::NotFound);
    EXPECT_EQ(unhandled[1].reason, BatchReason::NotInstallable);
}

}  // namespace
