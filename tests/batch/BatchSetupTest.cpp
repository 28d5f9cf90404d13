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
    BatchCameraRecord done;
    done.state = BatchCameraState::Installed;
    done.target = 0x0AD5071E;
    std::string error;
    ASSERT_TRUE(state.Put(Mac(4), done, &error));
    BatchCameraRecord failed;
    failed.state = BatchCameraState::Failed;
    ASSERT_TRUE(state.Put(Mac(1), failed, &error));

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
    EXPECT_EQ(plan.leftOut[2].address, 0x0AD5071Eu);

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

}  // namespace
