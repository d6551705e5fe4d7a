// The CSV reader and writer: the cases spreadsheet programs produce.

#include "core/errors.h"
#include "transfer/csv.h"
#include "transfer/tests/gtest_print.h"

#include <gtest/gtest.h>

using namespace varek;

namespace {

struct ParseCase {
    const char* name;
    QByteArray bytes;
    QList<QStringList> cells;
    QList<int> lines;
};

QList<QStringList> cellsOf(const QList<CsvRecord>& records) {
    QList<QStringList> out;
    for (const CsvRecord& r : records)
        out << r.cells;
    return out;
}

void PrintTo(const ParseCase& c, std::ostream* os) {
    *os << c.name;
}

class ParseCsv : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseCsv, GivesTheCellsAndLines) {
    const ParseCase& c = GetParam();
    const QList<CsvRecord> records = parseCsv(c.bytes);
    EXPECT_EQ(cellsOf(records), c.cells);
    QList<int> lines;
    for (const CsvRecord& r : records)
        lines << r.line;
    EXPECT_EQ(lines, c.lines);
}

const QString A = QStringLiteral("Иванов, Пётр");

INSTANTIATE_TEST_SUITE_P(
    Cases, ParseCsv,
    ::testing::Values(ParseCase{"plain_lf", "a,b\nc,d\n", {{"a", "b"}, {"c", "d"}}, {1, 2}},
                      ParseCase{"crlf_without_last_line_end", "a,b\r\nc,d", {{"a", "b"}, {"c", "d"}}, {1, 2}},
                      ParseCase{"bom",
                                "\xEF\xBB\xBF"
                                "a,b\r\n",
                                {{"a", "b"}},
                                {1}},
                      // The file's mark is dropped, a second one is the first cell's text.
                      ParseCase{"second_bom_kept",
                                "\xEF\xBB\xBF\xEF\xBB\xBF"
                                "a,b\r\n",
                                {{QStringLiteral("\uFEFFa"), "b"}},
                                {1}},
                      ParseCase{"quoted_comma_cyrillic", "\"Иванов, Пётр\",1\r\n", {{A, "1"}}, {1}},
                      ParseCase{"doubled_quote", "\"say \"\"hi\"\"\",x\n", {{"say \"hi\"", "x"}}, {1}},
                      ParseCase{
                          "newline_in_quotes", "\"a\r\nb\",c\nd,e\n", {{"a\r\nb", "c"}, {"d", "e"}}, {1, 3}},
                      ParseCase{"empty_cells", ",,\n\"\",x\n", {{"", "", ""}, {"", "x"}}, {1, 2}},
                      ParseCase{"blank_lines_left_out", "a\n\n\r\nb\n", {{"a"}, {"b"}}, {1, 4}},
                      ParseCase{"bare_quote_inside_cell", "a\"b,c\n", {{"a\"b", "c"}}, {1}},
                      ParseCase{"empty_file", "", {}, {}}),
    [](const ::testing::TestParamInfo<ParseCase>& info) { return std::string(info.param.name); });

struct BadCase {
    const char* name;
    QByteArray bytes;
    const char* message; // a piece of the Russian reason
};

void PrintTo(const BadCase& c, std::ostream* os) {
    *os << c.name;
}

class ParseCsvRefuses : public ::testing::TestWithParam<BadCase> {};

TEST_P(ParseCsvRefuses, WithTheLine) {
    const BadCase& c = GetParam();
    try {
        parseCsv(c.bytes);
        FAIL() << "no error";
    } catch (const EFileError& e) {
        EXPECT_TRUE(e.message().contains(QString::fromUtf8(c.message))) << e.what();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ParseCsvRefuses,
    ::testing::Values(BadCase{"cp1251_text", "a\n\xC8\xE2\xE0\xED\xEE\xE2,1\n",
                              "не в кодировке UTF-8 (строка 2)"},
                      BadCase{"open_quote", "a\nb,\"never closed\n", "Строка 2: кавычка открыта"},
                      BadCase{"text_after_quote", "\"a\"b,c\n", "Строка 1: после закрывающей кавычки"}),
    [](const ::testing::TestParamInfo<BadCase>& info) { return std::string(info.param.name); });

TEST(CsvWrite, QuotesWhatNeedsItAndReadsBack) {
    const QList<QStringList> records{
        {"Жетон", "Пользователь"}, {"016.62898", A}, {"x\"y", "two\nlines"}, {" padded ", ""}};
    const QByteArray bytes = csvFile(records);
    EXPECT_TRUE(bytes.startsWith("\xEF\xBB\xBF"));
    EXPECT_TRUE(bytes.contains("\"Иванов, Пётр\"\r\n"));
    EXPECT_TRUE(bytes.contains("\"x\"\"y\""));
    EXPECT_EQ(cellsOf(parseCsv(bytes)), records);
}

} // namespace
