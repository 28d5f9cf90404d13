#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Csv.h"

namespace {

TEST(Csv, FieldsAreQuotedAndFormulaCellsEscaped) {
    const struct {
        std::string cell;
        std::string written;
    } cases[] = {
        {"", ""},
        {"Tavix-11+", "Tavix-11+"},
        {"a,b", "\"a,b\""},
        {"say \"hi\"", "\"say \"\"hi\"\"\""},
        {"two\nlines", "\"two\nlines\""},
        {"=1+2", "'=1+2"},
        {"+1", "'+1"},
        {"------", "'------"},
        {"@SUM(A1)", "'@SUM(A1)"},
        {"\tx", "'\tx"},
        {"\rx", "\"'\rx\""},
        {"=HYPERLINK(\"http://x\",\"y\")", "\"'=HYPERLINK(\"\"http://x\"\",\"\"y\"\")\""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CsvField(c.cell), c.written) << c.cell;
    }
    // What is written reads back as the cells (an escaped formula with its apostrophe).
    const std::vector<std::string> record{"a,b", "say \"hi\"", "two\r\nlines", "", "=x"};
    CsvError error;
    const auto table = ReadCsv(CsvRecord(record) + CsvRecord({"z"}), &error);
    ASSERT_TRUE(table) << error.message;
    ASSERT_EQ(table->records.size(), 2u);
    EXPECT_EQ(table->records[0], (std::vector<std::string>{"a,b", "say \"hi\"", "two\r\nlines", "", "'=x"}));
    EXPECT_EQ(table->lines, (std::vector<int>{1, 3}));
}

}  // namespace
