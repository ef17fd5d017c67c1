// The dict lookup's shortcut must read every row it accepts exactly as the
// record reader does, and refuse every row the reader treats specially.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "csv/record.hpp"
#include "geocoder/plain_row.hpp"

namespace vicinor {
namespace {

std::vector<std::string> split_fields(std::string_view row, std::uint8_t sep) {
    PlainRow plain;
    if (!plain.split(row, sep)) return {"<not plain>"};
    std::vector<std::string> fields;
    for (std::size_t i = 0; i < plain.size(); ++i) fields.emplace_back(plain.field(i));
    return fields;
}

std::vector<std::string> reader_fields(std::string_view row, std::uint8_t sep) {
    csv::CsvRecord record;
    if (!csv::parse_csv_line(row, sep, record)) return {"<no record>"};
    std::vector<std::string> fields;
    for (std::size_t i = 0; i < record.size(); ++i) fields.emplace_back(record.field(i));
    return fields;
}

using Fields = std::vector<std::string>;

TEST(PlainRow, SplitsAtEverySeparatorKeepingEmptyAndSpacedFields) {
    EXPECT_EQ(split_fields("10,20,Alpha", ','), (Fields{"10", "20", "Alpha"}));
    EXPECT_EQ(split_fields(",a,,b,", ','), (Fields{"", "a", "", "b", ""}));
    EXPECT_EQ(split_fields(" 007 ;x", ';'), (Fields{" 007 ", "x"}));
    EXPECT_EQ(split_fields("a,b", ';'), (Fields{"a,b"}));
    EXPECT_EQ(split_fields(",", ','), (Fields{"", ""}));
}

// The reader unquotes, stops at a line break and drops a leading
// byte-order mark; none of that is the shortcut's business.
TEST(PlainRow, RefusesRowsTheReaderTreatsSpecially) {
    for (const char* row : {"", "\"Paris, FR\",1", "a,b\"c", "a\r", "a\nb", "\xEF\xBB\xBF" "a,b",
                            "0123456789abcdef0123456789\"bcdef"}) {
        EXPECT_EQ(split_fields(row, ','), Fields{"<not plain>"}) << row;
    }
    for (const char sep : {'"', '\r', '\n'}) {
        EXPECT_EQ(split_fields("a,b", static_cast<std::uint8_t>(sep)), Fields{"<not plain>"});
    }
}

TEST(PlainRow, TooManyFieldsAreLeftToTheReader) {
    std::string row(PlainRow::kMaxFields - 1, ',');
    EXPECT_EQ(split_fields(row, ',').size(), PlainRow::kMaxFields);
    row += ',';
    EXPECT_EQ(split_fields(row, ','), Fields{"<not plain>"});
}

TEST(PlainRow, TellsAsciiRowsFromOthersInEveryPosition) {
    PlainRow plain;
    const std::string ascii(40, 'a');
    ASSERT_TRUE(plain.split(ascii, ','));
    EXPECT_TRUE(plain.ascii());
    for (std::size_t at = 0; at < ascii.size(); ++at) {
        std::string row = ascii;
        row[at] = '\xC3';
        row.insert(at + 1, 1, '\xA9');  // é
        ASSERT_TRUE(plain.split(row, ','));
        EXPECT_FALSE(plain.ascii()) << at;
        EXPECT_EQ(plain.field(0), row);
    }
}

// Random rows over the bytes that matter, at lengths around the 16-byte
// blocks the scan works in: accepted rows read exactly as the reader reads
// them, and a row without special bytes is always accepted.
TEST(PlainRow, AcceptedRowsMatchTheReaderFieldForField) {
    const std::string alphabet[] = {"a", "7", " ", ",", ";", "\t", "\"", "\r", "\n", "\xC3\xA9",
                                    "\xEF\xBB\xBF"};
    std::mt19937 rng(5);
    std::uniform_int_distribution<std::size_t> pick(0, std::size(alphabet) - 1);
    std::uniform_int_distribution<int> length(0, 50);
    // Mostly ordinary bytes, so that plenty of rows are plain.
    std::bernoulli_distribution special(0.1);
    for (int i = 0; i < 20000; ++i) {
        std::string row;
        for (int n = length(rng); n > 0; --n) {
            std::size_t k = pick(rng);
            while (k >= 6 && !special(rng)) k = pick(rng);
            row += alphabet[k];
        }
        for (const std::uint8_t sep : {',', ';', '\t'}) {
            const Fields plain = split_fields(row, sep);
            const bool ordinary = !row.empty() &&
                                  row.find_first_of("\"\r\n") == std::string::npos &&
                                  !row.starts_with("\xEF\xBB\xBF");
            EXPECT_EQ(plain != Fields{"<not plain>"}, ordinary) << row;
            if (ordinary) {
                EXPECT_EQ(plain, reader_fields(row, sep)) << row;
            }
        }
    }
}

}  // namespace
}  // namespace vicinor
