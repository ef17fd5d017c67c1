#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "csv/lines.hpp"
#include "csv/plain_record.hpp"
#include "csv/record.hpp"

namespace vicinor::csv {
namespace {

struct Cut {
    std::size_t offset;
    std::size_t length;
    std::string text;
    bool operator==(const Cut&) const = default;
};

std::vector<Cut> cut(std::string_view text) {
    std::vector<Cut> lines;
    for (const CsvLine& line : split_csv_lines(text)) {
        EXPECT_EQ(line.text, text.substr(line.offset, line.length));
        lines.push_back({line.offset, line.length, std::string(line.text)});
    }
    EXPECT_EQ(lines.size(), count_csv_lines(text));
    return lines;
}

std::vector<std::string> read(std::string_view line, char separator = ',',
                              ByteOrderMark mark = ByteOrderMark::kSkip) {
    CsvRecord record;
    Status status = parse_csv_line(line, static_cast<std::uint8_t>(separator), record, mark);
    if (!status) return {"<error: " + status.error().message() + ">"};
    std::vector<std::string> fields;
    for (std::size_t i = 0; i < record.size(); ++i) fields.emplace_back(record.field(i));
    return fields;
}

using Fields = std::vector<std::string>;

TEST(SplitCsvLines, CutsAfterEveryLfAndDropsOnlyTheCrBeforeIt) {
    EXPECT_EQ(cut("h\n1\n\n2"), (std::vector<Cut>{{0, 1, "h"}, {2, 1, "1"}, {4, 0, ""}, {5, 1, "2"}}));
    EXPECT_EQ(cut("h\r\n1\r\n"), (std::vector<Cut>{{0, 1, "h"}, {3, 1, "1"}}));
    EXPECT_EQ(cut("h\n1\r"), (std::vector<Cut>{{0, 1, "h"}, {2, 2, "1\r"}}));
    EXPECT_EQ(cut("a\rb\nc"), (std::vector<Cut>{{0, 3, "a\rb"}, {4, 1, "c"}}));
    EXPECT_EQ(cut("\r\r\n"), (std::vector<Cut>{{0, 1, "\r"}}));
}

TEST(SplitCsvLines, EmptyTextAndTrailingLfAddNoLine) {
    EXPECT_TRUE(cut("").empty());
    EXPECT_EQ(cut("\n"), (std::vector<Cut>{{0, 0, ""}}));
    EXPECT_EQ(cut("x\n"), (std::vector<Cut>{{0, 1, "x"}}));
}

TEST(SplitCsvLines, QuotedLfIsCutLikeAnyOther) {
    const std::string text = "a,\"b\nc\",d";
    auto lines = cut(text);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(read(lines[0].text), (Fields{"a", "b"}));
    EXPECT_EQ(read(lines[1].text), (Fields{"c\"", "d"}));
}

TEST(ParseCsvLine, QuotingRules) {
    EXPECT_EQ(read("one,\"two,three\",four"), (Fields{"one", "two,three", "four"}));
    EXPECT_EQ(read("\"x\"\"y\""), (Fields{"x\"y"}));
    EXPECT_EQ(read("\"ab\"cd,e"), (Fields{"abcd", "e"}));
    EXPECT_EQ(read("ab\"cd"), (Fields{"ab\"cd"}));
    EXPECT_EQ(read("\"ab\"c\"d\",e"), (Fields{"abc\"d\"", "e"}));
    EXPECT_EQ(read("\"abc"), (Fields{"abc"}));
    EXPECT_EQ(read("\"\""), (Fields{""}));
    EXPECT_EQ(read("\"\","), (Fields{"", ""}));
    EXPECT_EQ(read("\"a\\\"b\""), (Fields{"a\\b\""}));  // no escape character
}

TEST(ParseCsvLine, EmptyFieldsAndSpaces) {
    EXPECT_EQ(read("a,b,"), (Fields{"a", "b", ""}));
    EXPECT_EQ(read(","), (Fields{"", ""}));
    EXPECT_EQ(read(" 1.5 , 2"), (Fields{" 1.5 ", " 2"}));
    EXPECT_EQ(read("\t"), (Fields{"\t"}));
}

TEST(ParseCsvLine, RecordEndsAtCrOrLf) {
    EXPECT_EQ(read("1,2\r3,4"), (Fields{"1", "2"}));
    EXPECT_EQ(read("1,\r"), (Fields{"1", ""}));
    EXPECT_EQ(read("\"a\rb\",c"), (Fields{"a\rb", "c"}));
    EXPECT_EQ(read("\"a\"\r,c"), (Fields{"a"}));
    EXPECT_EQ(read("\r\r\n1,2"), (Fields{"1", "2"}));
}

TEST(ParseCsvLine, ByteOrderMarkIsSkippedAtTheStartOnly) {
    EXPECT_EQ(read("\xEF\xBB\xBFlat,lon"), (Fields{"lat", "lon"}));
    EXPECT_EQ(read("a,\xEF\xBB\xBF"), (Fields{"a", "\xEF\xBB\xBF"}));
    EXPECT_EQ(read("\xEF\xBB\xBF\"q\""), (Fields{"q"}));
}

// Rows the writer made: a leading mark is the first field's text, and a
// line of only a mark holds a record.
TEST(ParseCsvLine, AKeptByteOrderMarkIsFieldText) {
    const auto keep = [](std::string_view line) { return read(line, ',', ByteOrderMark::kKeep); };
    EXPECT_EQ(keep("\xEF\xBB\xBF" "abc,d"), (Fields{"\xEF\xBB\xBF" "abc", "d"}));
    EXPECT_EQ(keep("\xEF\xBB\xBF"), (Fields{"\xEF\xBB\xBF"}));
    EXPECT_EQ(keep("\xEF\xBB\xBF\"q\""), (Fields{"\xEF\xBB\xBF\"q\""}));
    EXPECT_EQ(keep("\"q\",\xEF\xBB\xBF"), (Fields{"q", "\xEF\xBB\xBF"}));
    EXPECT_EQ(keep(""), (Fields{"<error: Internal error - failed to parse CSV line>"}));
}

TEST(ParseCsvLine, LinesWithoutARecordFail) {
    const Fields failure{"<error: Internal error - failed to parse CSV line>"};
    EXPECT_EQ(read(""), failure);
    EXPECT_EQ(read("\r"), failure);
    EXPECT_EQ(read("\r\r\n"), failure);
    EXPECT_EQ(read("\xEF\xBB\xBF"), failure);
    EXPECT_EQ(read("\xEF\xBB\xBF\r"), failure);
}

TEST(ParseCsvLine, OtherSeparators) {
    EXPECT_EQ(read("1;2,5;x", ';'), (Fields{"1", "2,5", "x"}));
    EXPECT_EQ(read("a\tb", '\t'), (Fields{"a", "b"}));
    // A quote separator still opens a quoted field first.
    EXPECT_EQ(read("\"a\"\"b", '"'), (Fields{"a\"b"}));
    EXPECT_EQ(read("a\"b", '"'), (Fields{"a", "b"}));
    // A line-break separator (only reachable from a saved file) splits fields.
    EXPECT_EQ(read("a\rb", '\r'), (Fields{"a", "b"}));
}

TEST(ParseCsvLine, ReusedRecordHoldsOnlyTheLatestLine) {
    CsvRecord record;
    ASSERT_TRUE(parse_csv_line("a,b,c,d", ',', record).ok());
    ASSERT_TRUE(parse_csv_line("x", ',', record).ok());
    ASSERT_EQ(record.size(), 1u);
    EXPECT_EQ(record.field(0), "x");
    ASSERT_FALSE(parse_csv_line("", ',', record).ok());
}

// The shortcut must report exactly what the general reader reads, or refuse.
void expect_shortcut_agrees(std::string_view line, char separator) {
    PlainRecord plain;
    if (!plain.scan(line, static_cast<std::uint8_t>(separator))) {
        EXPECT_TRUE(line.find('"') != std::string_view::npos || separator == '"' ||
                    separator == '\r' || separator == '\n')
            << "refused a quote-free line: " << testing::PrintToString(std::string(line));
        return;
    }
    CsvRecord record;
    Status status = parse_csv_line(line, static_cast<std::uint8_t>(separator), record);
    const auto shown = testing::PrintToString(std::string(line));
    if (!status) {
        EXPECT_EQ(plain.field_count(), 0u) << shown;
        return;
    }
    ASSERT_EQ(plain.field_count(), record.size()) << shown;
    EXPECT_EQ(plain.field0(), record.field(0)) << shown;
    EXPECT_EQ(plain.field1(), record.size() > 1 ? record.field(1) : "") << shown;
    std::string rest;
    for (std::size_t i = 2; i < record.size(); ++i) {
        if (i > 2) rest.push_back(separator);
        rest.append(record.field(i));
    }
    EXPECT_EQ(plain.rest(), rest) << shown;
}

TEST(PlainRecord, AgreesWithTheGeneralReaderOnChosenLines) {
    for (std::string_view line :
         {"", "\r", "\xEF\xBB\xBF", "\xEF\xBB\xBF\r", "a", ",", ",,", "1,2", "1,2,", "1,2,x,y",
          "1,2\r3,4", "\r\r1,2,3", "\xEF\xBB\xBF" "1,2", "1,2\r\"q\"", "1,\"2\"", "a\"b",
          " 1 , 2 ,", "1,2,\r"}) {
        expect_shortcut_agrees(line, ',');
    }
}

TEST(PlainRecord, AgreesWithTheGeneralReaderOnRandomLines) {
    std::mt19937 random(20261207);
    const std::string alphabet = ",;\r\n\"a1 .\xEF\xBB\xBF";
    for (int round = 0; round < 20000; ++round) {
        std::string line;
        // Long enough for several vector blocks; stretches of plain content
        // put the quotes and line breaks at every position within a block.
        const int length = static_cast<int>(random() % 80);
        const bool sparse = random() % 2 == 0;
        for (int i = 0; i < length; ++i) {
            const bool plain = sparse && random() % 8 != 0;
            line.push_back(plain ? 'x' : alphabet[random() % alphabet.size()]);
        }
        if (random() % 8 == 0) line.insert(0, "\xEF\xBB\xBF");
        expect_shortcut_agrees(line, random() % 2 ? ',' : ';');
        expect_shortcut_agrees(line, '"');
    }
}

}  // namespace
}  // namespace vicinor::csv
