#include "HelperLog.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(HelperLog, ChangesAllGoOutAndRefusalsAtMostOneASecondWithACount) {
    struct Event {
        int64_t at;        // ms
        std::string line;  // empty: the loop's Flush
    };
    struct Case {
        std::string name;
        std::vector<Event> events;
        std::vector<std::string> written;
    };
    const Case cases[] = {
        {"changes", {{0, "begun a"}, {1, "begun b"}, {2, "ended a"}}, {"begun a", "begun b", "ended a"}},
        {"a flood of refusals",
         {{0, "refused x"}, {10, "refused y"}, {20, "refused z"}, {500, "begun a"}, {999, ""}, {1000, ""}},
         {"refused x", "begun a", "refused 2 more requests in the second after that"}},
        {"a refusal after the second opens the next",
         {{0, "refused x"}, {10, "refused y"}, {1500, "refused z"}, {1600, "refused w"}, {2600, ""}},
         {"refused x", "refused 1 more requests in the second after that", "refused z",
          "refused 1 more requests in the second after that"}},
        {"spaced refusals all go out", {{0, "refused x"}, {1000, "refused y"}, {2000, ""}}, {"refused x", "refused y"}},
    };
    for (const Case& c : cases) {
        int64_t now = 0;
        std::vector<std::string> written;
        HelperLog log([&](std::string_view line) { written.emplace_back(line); }, [&] { return now; });
        for (const Event& event : c.events) {
            now = event.at;
            event.line.empty() ? log.Flush() : log.Line(event.line);
        }
        EXPECT_EQ(written, c.written) << c.name;
        EXPECT_EQ(log.FlushDueMs(), -1) << c.name;
    }
}

}  // namespace
