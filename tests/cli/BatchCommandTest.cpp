#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "BatchCommand.h"

namespace {

TEST(BatchCommandTest, ArgumentsAreParsedStrictly) {
    std::string error;
    auto options =
        ParseBatchOptions({"--range", "10.213.7.20-10.213.7.80", "--mask=255.255.255.0", "--gateway", "10.213.7.1",
                           "--mac", "02-5e-a1-cd-e1-01", "--mac", "02:5E:A1:CD:E1:02", "--jobs", "256", "--state",
                           "s.json", "--results", "r.csv", "--seconds", "0", "--watch"},
                          &error);
    ASSERT_TRUE(options) << error;
    EXPECT_EQ(options->range->first, 0x0AD50714u);
    EXPECT_EQ(options->range->last, 0x0AD50750u);
    EXPECT_EQ(options->mask, 0xFFFFFF00u);
    EXPECT_EQ(options->gateway, 0x0AD50701u);
    EXPECT_FALSE(options->dns1);
    ASSERT_EQ(options->macs.size(), 2u);
    EXPECT_EQ(options->macs[1].Text(), "02-5E-A1-CD-E1-02");
    EXPECT_EQ(options->jobs, 256);
    EXPECT_TRUE(options->watch);
    EXPECT_EQ(options->state, "s.json");
    EXPECT_EQ(options->results, "r.csv");
    EXPECT_EQ(options->seconds, 0);

    options = ParseBatchOptions({"--plan", "plan.csv"}, &error);
    ASSERT_TRUE(options) << error;
    EXPECT_EQ(options->plan, "plan.csv");
    EXPECT_EQ(options->jobs, 256);  // a site's batch needs no --jobs
    EXPECT_EQ(options->seconds, 10);
    EXPECT_FALSE(options->watch);
    EXPECT_FALSE(options->state);

    struct Bad {
        std::vector<std::string> args;
        const char* reason;
    };
    const std::vector<Bad> bad{
        {{}, "either --plan or --range"},
        {{"--plan", "p.csv", "--range", "10.0.0.1-10.0.0.9", "--mask", "255.0.0.0"}, "either --plan or --range"},
        {{"--range", "10.0.0.1-10.0.0.9"}, "--range needs --mask"},
        {{"--range", "10.0.0.9", "--mask", "255.0.0.0"}, "--range wants"},
        {{"--range", "10.0.0.1-10.0.0.9", "--mask", "255.0.0"}, "--mask wants"},
        {{"--plan", "p.csv", "--gateway", "10.0.0.1"}, "--gateway goes with --range"},
        {{"--plan", "p.csv", "--mac", "02-5E-A1-CD-E1-01"}, "--mac goes with --range"},
        {{"--range", "10.0.0.1-10.0.0.9", "--mask", "255.0.0.0", "--mac", "02-5E-A1-CD-E1"}, "not a hardware address"},
        {{"--plan", "p.csv", "--jobs", "0"}, "--jobs wants"},
        {{"--plan", "p.csv", "--jobs", "257"}, "--jobs wants"},
        {{"--plan", "p.csv", "--seconds", "-1"}, "--seconds wants"},
        {{"--plan", "p.csv", "extra"}, "unexpected argument"},
        {{"--plan", "p.csv", "--ip", "10.0.0.1"}, "unknown argument"},
        {{"--plan"}, "Missing value"},
    };
    for (const Bad& b : bad) {
        error.clear();
        EXPECT_FALSE(ParseBatchOptions(b.args, &error)) << b.reason;
        EXPECT_NE(error.find(b.reason), std::string::npos) << b.reason << ": " << error;
    }
}

}  // namespace
