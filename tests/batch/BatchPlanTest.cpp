#include <gtest/gtest.h>

#include <string>

#include "BatchPlan.h"

namespace {

ParsedPlan Parse(const std::string& text) {
    return ParsePlan(text);
}

std::string ErrorOf(const std::string& text) {
    const ParsedPlan plan = Parse(text);
    EXPECT_TRUE(plan.rows.empty());
    return plan.error ? PlanErrorText(*plan.error) : "(no error)";
}

TEST(BatchPlan, EveryColumnReachesItsOption) {
    const ParsedPlan plan = Parse(
        "mac,ip,mask,gateway,dns1,dns2,findable,ssid,mode,channel,rate,preamble,encryption,auth,key_length,"
        "key_format,key_select,key1,key2,key3,key4,ftp_port,ftp_password\n"
        "02:5e:a1:cc:55:ba,10.0.0.20,255.255.0.0,10.0.0.1,10.0.0.2,10.0.0.3,yes,cam net,adhoc,11,5.5,short,TRUE,"
        "shared,128,ascii,4,k1,k2,k3,k4,2121,secret\n");
    ASSERT_FALSE(plan.error) << PlanErrorText(*plan.error);
    ASSERT_EQ(plan.rows.size(), 1u);
    const InstallOptions& o = plan.rows[0].options;
    EXPECT_EQ(plan.rows[0].line, 2);
    EXPECT_EQ(o.mac.Text(), "02-5E-A1-CC-55-BA");
    EXPECT_EQ(o.ip, 0x0A000014u);
    EXPECT_EQ(o.mask, 0xFFFF0000u);
    EXPECT_EQ(o.gateway, 0x0A000001u);
    EXPECT_EQ(o.dns1, 0x0A000002u);
    EXPECT_EQ(o.dns2, 0x0A000003u);
    EXPECT_TRUE(o.findable);
    EXPECT_EQ(o.ssid, "cam net");
    EXPECT_EQ(o.mode, 1);
    EXPECT_EQ(o.channelIndex, 10);
    EXPECT_EQ(o.rateIndex, 2);
    EXPECT_EQ(o.preamble, 1);
    EXPECT_TRUE(o.encryption);
    EXPECT_EQ(o.authIndex, 1);
    EXPECT_EQ(o.keyLengthIndex, 1);
    EXPECT_EQ(o.keyFormat, 0);
    EXPECT_EQ(o.keySelect, 3);
    EXPECT_EQ(o.keys[0], "k1");
    EXPECT_EQ(o.keys[3], "k4");
    EXPECT_EQ(o.ftpPort, 2121);
    EXPECT_EQ(o.ftpPassword, "secret");
}

TEST(BatchPlan, EmptyCellsLeaveValuesUnsetAndQuotingIsRead) {
    // BOM, CRLF, header cells with spaces, a blank line, a row of empty cells, quoted cells holding a comma, a
    // quote and a line break (the next row's line number counts it).
    const ParsedPlan plan = Parse(
        "\xEF\xBB\xBF mac , ip ,ssid,key1,findable\r\n"
        "02-5E-A1-CC-55-01, 10.0.0.21 ,,,\r\n"
        "\r\n"
        ",,,,\r\n"
        "02-5E-A1-CC-55-02,10.0.0.22,\"a,\"\"b\"\"\",\"two\r\nlines\",no\r\n"
        "02-5E-A1-CC-55-03,10.0.0.23,, padded ,\r\n");
    ASSERT_FALSE(plan.error) << PlanErrorText(*plan.error);
    ASSERT_EQ(plan.rows.size(), 3u);
    const InstallOptions& first = plan.rows[0].options;
    EXPECT_EQ(first.ip, 0x0A000015u);
    EXPECT_FALSE(first.mask || first.ssid || first.keys[0] || first.findable);
    EXPECT_FALSE(first.AnyWirelessOption());
    EXPECT_EQ(plan.rows[1].line, 5);
    EXPECT_EQ(plan.rows[1].options.ssid, "a,\"b\"");
    EXPECT_EQ(plan.rows[1].options.keys[0], "two\r\nlines");
    EXPECT_EQ(plan.rows[2].line, 7);
    EXPECT_EQ(plan.rows[2].options.keys[0], " padded ");  // free text keeps its spaces
}

TEST(BatchPlan, RefusedPlansNameTheirLine) {
    const std::string header = "mac,ip,rate\n";
    const std::string row1 = "02-5E-A1-CC-55-01,10.0.0.21,\n";
    struct Case {
        std::string text;
        std::string error;
    };
    const Case cases[] = {
        {"", "the plan has no header line"},
        {header, "the plan has no rows"},
        {"mac,ip,colour\n", "unknown column \"colour\""},
        {"mac,ip,Rate\n", "unknown column \"Rate\""},
        {"mac,rate\n", "column \"ip\" is missing"},
        {"mac,ip,ip\n", "column \"ip\" appears twice"},
        {header + row1 + "02-5E-A1-CC-55-02,10.0.0.22\n", "line 3: 2 cells, the header has 3"},
        {header + row1 + "\n02-5E-A1-CC-55-02,10.0.0.22,3\n",
         "line 4: column \"rate\" wants 1, 2, 5.5, 11 or 22, not \"3\""},
        {header + "02-5E-A1-CC-55,10.0.0.21,\n",
         "line 2: column \"mac\" wants a hardware address like 00-1A-2B-3C-4D-5E, not \"02-5E-A1-CC-55\""},
        {header + "02-5E-A1-CC-55-01,,\n", "line 2: column \"ip\" is empty"},
        {header + "02-5E-A1-CC-55-01,10.0.0.256,\n",
         "line 2: column \"ip\" wants a dotted address like 192.168.0.20, not \"10.0.0.256\""},
        {"mac,ip,findable\n02-5E-A1-CC-55-01,10.0.0.21,maybe\n",
         "line 2: column \"findable\" wants yes or no, not \"maybe\""},
        {"mac,ip,key_length\n02-5E-A1-CC-55-01,10.0.0.21,100\n",
         "line 2: column \"key_length\" wants 64, 128 or 256, not \"100\""},
        {header + row1 + "02-5e-a1-cc-55-01,10.0.0.22,\n", "line 3: MAC 02-5E-A1-CC-55-01 is also on line 2"},
        {header + row1 + "\n\n02-5E-A1-CC-55-02,10.0.0.21,\n", "line 5: address 10.0.0.21 is also on line 2"},
        {header + "02-5E-A1-CC-55-01,\"10.0.0.21\n", "line 2: a quoted field is not closed"},
        {header + "02-5E-A1-CC-55-01,\"10.0.0.21\"x,\n", "line 2: text after a closing quote"},
        {header + std::string("02-5E-A1-CC-55-01,10.0.0.21,\0\n", 30), "line 2: a NUL byte"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ErrorOf(c.text), c.error) << c.text;
    }
}

TEST(BatchPlan, SizeIsCapped) {
    std::string text = "mac,ip\n";
    for (int i = 0; i <= 4096; ++i) {
        char row[64];
        std::snprintf(row, sizeof row, "02-5E-A1-00-%02X-%02X,10.1.%d.%d\n", i / 256, i % 256, i / 256, i % 256);
        text += row;
    }
    EXPECT_EQ(ErrorOf(text), "line 4098: the plan has more than 4096 rows");
    text.resize(text.rfind("02-5E"));
    EXPECT_EQ(Parse(text).rows.size(), 4096u);
    EXPECT_EQ(ErrorOf("mac,ip\n" + std::string(1024 * 1024, '\n')), "the plan is larger than 1 MiB");
}

}  // namespace
