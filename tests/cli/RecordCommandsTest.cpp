#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ReportCommand.h"
#include "RestoreCommand.h"

namespace {

TEST(RecordCommandsTest, RestoreAndReportArgumentsAreParsedStrictly) {
    std::string error;
    const auto restore = ParseRestoreOptions({"02:5e:a1:cc:55:ba", "--ip", "10.213.7.50", "--from", "old.ini"}, &error);
    ASSERT_TRUE(restore) << error;
    EXPECT_EQ(restore->install.mac.Text(), "02-5E-A1-CC-55-BA");
    EXPECT_EQ(restore->install.ip, 0x0AD50732u);
    EXPECT_EQ(restore->from, "old.ini");
    const auto back = ParseRestoreOptions({"02-5E-A1-CC-55-BA"}, &error);
    ASSERT_TRUE(back) << error;
    EXPECT_FALSE(back->install.ip);  // the record's
    const auto report = ParseReportOptions({"--since", "2026-12-09", "-o", "site.pdf"}, &error);
    ASSERT_TRUE(report) << error;
    EXPECT_EQ(report->format, ReportFormat::Pdf);  // by the name
    EXPECT_EQ(report->since, "2026-12-09");
    EXPECT_EQ(ParseReportOptions({"--format", "json"}, &error)->format, ReportFormat::Json);

    struct Bad {
        bool restore;
        std::vector<std::string> args;
        const char* reason;
    };
    const std::vector<Bad> bad{
        {true, {}, "MAC address is missing"},
        {true, {"02-5E-A1-CC-55-BA", "--ip", "10.0.0.256"}, "--ip wants"},
        {true, {"02-5E-A1-CC-55-BA", "00-11-22-33-44-55"}, "one MAC address only"},
        {true, {"02-5E-A1-CC-55-BA", "--from"}, "Missing value"},
        {false, {"--format", "pdf"}, "needs -o FILE"},
        {false, {"--format", "xml"}, "--format wants"},
        {false, {"--since", "yesterday"}, "--since wants"},
        {false, {"extra"}, "unexpected argument"},
    };
    for (const Bad& b : bad) {
        error.clear();
        EXPECT_FALSE(b.restore ? ParseRestoreOptions(b.args, &error).has_value()
                               : ParseReportOptions(b.args, &error).has_value())
            << b.reason;
        EXPECT_NE(error.find(b.reason), std::string::npos) << error;
    }
}

}  // namespace
