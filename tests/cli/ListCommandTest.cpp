#include "Headless.h"
#include "ListCommand.h"
#include "PrivilegedHelper.h"

#include <gtest/gtest.h>

namespace {

DeviceTable SampleTable() {
    DeviceTable table;
    CameraRecord row;
    row.mac = MacAddress({0x02, 0x5E, 0xA1, 0xCC, 0x55, 0xBA});
    row.address = 0xC0A80014;
    row.mask = 0xFFFFFF00;
    row.gateway = 0xC0A80001;
    row.dns1 = row.dns2 = 0;
    row.wireless = true;
    row.model = 104;
    row.xrmSupport = false;
    table.Append(row);
    CameraRecord sparse;
    sparse.mac = MacAddress({0x02, 0x5E, 0xA3, 0x7E, 0x69, 0xD2});
    sparse.address = 0x0A000007;
    sparse.assigned = Assignment::Yes;
    table.Append(sparse);
    return table;
}

int RunArgs(std::vector<std::string> args) {
    std::vector<char*> argv;
    static std::string program = "camera-setup";
    argv.push_back(program.data());
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    PrivilegedHelper helper;
    return RunHeadless(static_cast<int>(args.size() + 1), argv.data(), helper);
}

}  // namespace

TEST(ListFormat, CsvHasTheHeaderLineAndARowPerCamera) {
    EXPECT_EQ(FormatDeviceTable(SampleTable(), ListFormat::Csv),
              "Mac Address,Current IP Address,Assigned,Subnet,Gateway,Dns1,Dns2,Wireless,Model,XRM Support\n"
              "02-5E-A1-CC-55-BA,192.168.0.20,No,255.255.255.0,192.168.0.1,0.0.0.0,0.0.0.0,YES,Tavix-11+,NO\n"
              "02-5E-A3-7E-69-D2,10.0.0.7,Yes,,,,,,,\n");
    EXPECT_EQ(FormatDeviceTable(DeviceTable(), ListFormat::Csv),
              "Mac Address,Current IP Address,Assigned,Subnet,Gateway,Dns1,Dns2,Wireless,Model,XRM Support\n");
    // A spreadsheet would read "------" as a formula.
    DeviceTable pending;
    CameraRecord row;
    row.mac = MacAddress({0x02, 0x5E, 0xA1, 0xCC, 0x55, 0xBB});
    row.assigned = Assignment::Pending;
    pending.Append(row);
    EXPECT_NE(FormatDeviceTable(pending, ListFormat::Csv).find(",'------,"), std::string::npos);
}

TEST(ListFormat, JsonIsAnArrayOfObjectsKeyedByHeader) {
    const std::string json = FormatDeviceTable(SampleTable(), ListFormat::Json);
    EXPECT_EQ(json.substr(0, 2), "[\n");
    EXPECT_NE(json.find("{\"Mac Address\": \"02-5E-A1-CC-55-BA\", \"Current IP Address\": \"192.168.0.20\", "
                        "\"Assigned\": \"No\""),
              std::string::npos);
    EXPECT_NE(json.find("\"Model\": \"\", \"XRM Support\": \"\"}\n]\n"), std::string::npos);
    EXPECT_NE(json.find("},\n  {"), std::string::npos);
    EXPECT_EQ(FormatDeviceTable(DeviceTable(), ListFormat::Json), "[]\n");
}

TEST(ListFormat, TableAlignsColumns) {
    DeviceTable table;
    CameraRecord row;
    row.mac = MacAddress({0x02, 0x5E, 0xA1, 0xCC, 0x55, 0xBA});
    row.address = 0xC0A80014;
    row.assigned = Assignment::Pending;
    row.xrmSupport = true;
    table.Append(row);
    const std::string text = FormatDeviceTable(table, ListFormat::Table);
    const size_t newline = text.find('\n');
    const std::string header = text.substr(0, newline);
    const std::string line = text.substr(newline + 1);
    EXPECT_EQ(header.find("Current IP Address"), line.find("192.168.0.20"));
    EXPECT_EQ(header.find("Assigned"), line.find("------"));
    EXPECT_EQ(header.find("XRM Support"), line.find("YES"));
    EXPECT_EQ(line.back(), '\n');
}

TEST(ListOptions, ParsesAndRejectsArguments) {
    struct Case {
        std::vector<std::string> args;
        bool ok;
        int seconds;
        ListFormat format;
    } cases[] = {
        {{}, true, 5, ListFormat::Table},
        {{"--seconds", "12", "--format", "csv"}, true, 12, ListFormat::Csv},
        {{"--format=json", "--seconds=0"}, true, 0, ListFormat::Json},
        {{"--seconds", "86400"}, true, 86400, ListFormat::Table},
        {{"--seconds", "86401"}, false, 0, {}},
        {{"--seconds", "-1"}, false, 0, {}},
        {{"--seconds", "5s"}, false, 0, {}},
        {{"--seconds", ""}, false, 0, {}},
        {{"--seconds"}, false, 0, {}},
        {{"--format", "xml"}, false, 0, {}},
        {{"--verbose"}, false, 0, {}},
        {{"extra"}, false, 0, {}},
    };
    for (const Case& c : cases) {
        std::string error;
        const auto options = ParseListOptions(c.args, &error);
        ASSERT_EQ(options.has_value(), c.ok) << testing::PrintToString(c.args);
        if (options) {
            EXPECT_EQ(options->seconds, c.seconds);
            EXPECT_EQ(options->format, c.format);
        } else {
            EXPECT_FALSE(error.empty());
        }
    }
}

TEST(Headless, ExitStatusForUsageHelpAndVersion) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(RunArgs({"--version"}), 0);
    EXPECT_EQ(RunArgs({"--help"}), 0);
    EXPECT_EQ(RunArgs({"list", "--help"}), 0);
    EXPECT_EQ(RunArgs({"list", "--format", "xml"}), 2);
    EXPECT_EQ(RunArgs({"bogus"}), 2);
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(out.find("camera-setup 3.01\n"), std::string::npos);
    EXPECT_NE(out.find("Usage: camera-setup list"), std::string::npos);
    EXPECT_NE(err.find("--format wants table, csv or json"), std::string::npos);
    EXPECT_NE(err.find("unknown command \"bogus\""), std::string::npos);
}
