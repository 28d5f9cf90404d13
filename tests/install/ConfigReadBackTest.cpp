#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ConfigReadBack.h"

namespace {

using testing::ElementsAre;

TEST(ConfigReadBackTest, ValuesCompareByTheirMeaning) {
    struct Case {
        const char* tag;
        const char* a;
        const char* b;
        bool same;
    };
    const std::vector<Case> cases{
        {"<gateway ip>", "10.0.0.1", "10.0.0.1", true},
        {"<gateway ip>", "10.0.0.1", " 010.000.000.001 ", true},
        {"<gateway ip>", "10.0.0.1", "10.0.0.2", false},
        {"<subnet mask>", "255.255.255.0", "255.255.255.256", false},  // not an address: compared as text
        {"<subnet mask>", "255.255.255", "255.255.255", true},
        {"<primary name server>", "8.8.8.8", "8.8.8.8.", false},
        {"<install enabled>", "YES", "yes", true},
        {"<install enabled>", "YES", "NO", false},
        {"<data encryption>", "NO", " No", true},
        {"<channel>", "7", "007", true},
        {"<channel>", "7", "8", false},
        {"<key select>", "1", "+1", false},
        {"<Tx rate>", "5.5M", "5.5m", true},
        {"<preamble>", "short", "long", false},
        {"<SSID>", "lab-net", "Lab-net", false},
        {"<SSID>", "lab net", "lab net ", false},
        {"<key 1>", "abc", "abc", true},
        {"<key 1>", "abc", "ABC", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(SameConfigValue(c.tag, c.a, c.b), c.same) << c.tag << " '" << c.a << "' '" << c.b << "'";
    }
}

TEST(ConfigReadBackTest, OnlyNetworkTagsAreNotKeptAndKeysNeverShow) {
    const std::string written =
        "<reset system>\r\nYES\r\n<install enabled>\r\nYES\r\n<gateway ip>\r\n10.0.0.1\r\n<SSID>\r\nnet\r\n"
        "<key 1>\r\nsecret\r\n<channel>\r\n6\r\n";
    const std::string readBack =
        "<reset system>\nNO\n<install enabled>\nyes\n<SSID>\nother\n<key 1>\nleaked\n<channel>\n06\nx\n<gateway ip>\n";
    EXPECT_THAT(CompareReadBack(written, readBack),
                ElementsAre(ReadBackDifference{"<gateway ip>", "10.0.0.1", "", true, false},
                            ReadBackDifference{"<SSID>", "net", "other", false, false},
                            ReadBackDifference{"<key 1>", "", "", false, true}));
    EXPECT_THAT(CompareReadBack(written, "nothing\n"),
                testing::Contains(ReadBackDifference{"<install enabled>", "YES", std::nullopt, true, false}));
    EXPECT_THAT(ChangedTags("<SSID>\nold\n<key 2>\na\n<reset system>\nNO\n",
                            "<SSID>\r\nnew\r\n<key 2>\r\nb\r\n<reset system>\r\nYES\r\n"),
                ElementsAre(ChangedTag{"<SSID>", "old", "new", false}, ChangedTag{"<key 2>", "", "", true}));
}

TEST(ConfigReadBackTest, RestartRequestChangesOnlyTheResetValue) {
    struct Case {
        const char* in;
        const char* out;
    };
    const std::vector<Case> cases{
        {"a\r\n<reset system>\r\nNO\r\nb\r\n", "a\r\n<reset system>\r\nYES\r\nb\r\n"},
        {"<reset system>\nno\n", "<reset system>\nYES\n"},
        {"<reset system>\r\nNO", "<reset system>\r\nYES"},
        {"<reset system>\r\n", "<reset system>\r\n"},  // no value line: nothing to change
        {"<reset system> \nNO\n", "<reset system> \nNO\n"},
        {"x\n<reset system>\nNO\n<reset system>\nNO\n", "x\n<reset system>\nYES\n<reset system>\nNO\n"},
        {"", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(WithResetRequested(c.in), c.out) << c.in;
    }
}

}  // namespace
