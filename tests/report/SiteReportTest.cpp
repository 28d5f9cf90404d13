#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "SiteReport.h"

namespace {

using testing::HasSubstr;
using testing::Not;

InstallRecord Record(const char* mac, const char* stem, const char* time) {
    InstallRecord r;
    r.mac = *MacAddress::Parse(mac);
    r.stem = stem;
    r.time = time;
    r.action = "install";
    r.outcome = "installed";
    return r;
}

TEST(SiteReportTest, EachCameraShowsItsLatestRecordSinceTheDate) {
    const std::vector<InstallRecord> records{
        Record("00-1A-2B-3C-4D-02", "20261208T100000.000Z", "2026-12-08T10:00:00.000Z"),
        Record("00-1A-2B-3C-4D-01", "20261208T110000.000Z", "2026-12-08T11:00:00.000Z"),
        Record("00-1A-2B-3C-4D-02", "20261209T090000.000Z", "2026-12-09T09:00:00.000Z"),
        Record("00-1A-2B-3C-4D-03", "20261209T120000.000Z", "2026-12-09T12:00:00.000Z"),
    };
    struct Case {
        const char* since;
        std::optional<std::vector<MacAddress>> macs;
        std::vector<std::string> times;  // of the rows, ordered by MAC
    };
    const std::vector<Case> cases{
        {"", std::nullopt, {"2026-12-08T11:00:00.000Z", "2026-12-09T09:00:00.000Z", "2026-12-09T12:00:00.000Z"}},
        {"2026-12-09", std::nullopt, {"2026-12-09T09:00:00.000Z", "2026-12-09T12:00:00.000Z"}},
        {"2026-12-09T10", std::nullopt, {"2026-12-09T12:00:00.000Z"}},
        {"2026-12-10", std::nullopt, {}},
        {"", std::vector<MacAddress>{*MacAddress::Parse("00-1A-2B-3C-4D-02")}, {"2026-12-09T09:00:00.000Z"}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> times;
        for (const InstallRecord& row : ReportRows(records, c.since, c.macs)) {
            times.push_back(row.time);
        }
        EXPECT_EQ(times, c.times) << c.since;
    }
    for (const char* date : {"2026-12-09", "2026-12-09T15", "2026-12-09T15:49:01", "2026-12-09T15:49:01.123Z"}) {
        EXPECT_TRUE(IsReportDate(date)) << date;
    }
    for (const char* date : {"", "2026-12", "09.12.2026", "2026-12-09 15:00", "2026-12-09T15:49:01x"}) {
        EXPECT_FALSE(IsReportDate(date)) << date;
    }
}

TEST(SiteReportTest, EveryFormatShowsTheColumnsAndNeverAKey) {
    InstallRecord r = Record("00-1A-2B-3C-4D-5E", "20261209T154901.123Z", "2026-12-09T15:49:01.123Z");
    r.model = "Tavix-11+";
    r.oldAddress = 0x0AD50796;
    r.newAddress = 0x0AD5073D;
    r.mask = 0xFFFFFF00;
    r.gateway = 0x0AD50701;
    r.dns1 = 0x0AD50701;
    r.dns2 = 0;
    r.ssid = "<site>, \"north\"";
    r.changed = {{"<subnet mask>", "255.0.0.0", "255.255.255.0", false}, {"<key 1>", "", "", true}};
    r.readBack = ReadBack::Differs;
    r.differences = {{"<gateway ip>", "10.213.7.1", "10.0.0.1", true, false}};
    r.outcome = "not-kept";
    const std::string csv = ReportCsv({r});
    EXPECT_EQ(csv.substr(0, csv.find('\n')),
              "mac,model,old_address,new_address,mask,gateway,dns1,dns2,ssid,time,action,outcome,verified,changed");
    EXPECT_THAT(csv,
                HasSubstr("00-1A-2B-3C-4D-5E,Tavix-11+,10.213.7.150,10.213.7.61,255.255.255.0,10.213.7.1,"
                          "10.213.7.1,0.0.0.0,\"<site>, \"\"north\"\"\",2026-12-09T15:49:01.123Z,install,"
                          "not-kept,no: <gateway ip>,<subnet mask>: 255.0.0.0 -> 255.255.255.0; <key 1>: changed"));
    const std::string html = ReportHtml({r}, "2026-12-09 16:00 UTC");
    EXPECT_THAT(html, HasSubstr("<td>&lt;site&gt;, &quot;north&quot;</td>"));
    EXPECT_THAT(html, HasSubstr("2026-12-09 16:00 UTC, 1 camera"));
    const std::string json = ReportJson({r});
    EXPECT_THAT(json, HasSubstr("\"verified\": \"no: <gateway ip>\""));
    EXPECT_THAT(json, HasSubstr("\"tag\": \"<key 1>\"\n"));
    for (const std::string& text : {csv, html, json}) {
        EXPECT_THAT(text, Not(HasSubstr("secret")));
    }
}

}  // namespace
