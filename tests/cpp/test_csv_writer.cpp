#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "csv/record.hpp"
#include "csv/row_writer.hpp"

namespace vicinor::csv {
namespace {

using Row = std::vector<std::string_view>;

TEST(CsvRowWriter, QuotesOnlyFieldsThatNeedIt) {
    CsvRowWriter writer(',');
    ASSERT_TRUE(writer.append_row(Row{"x", "y,z"}).ok());
    ASSERT_TRUE(writer.append_row(Row{"p\"q", ""}).ok());
    ASSERT_TRUE(writer.append_row(Row{"a\rb", "c\nd"}).ok());
    ASSERT_TRUE(writer.append_row(Row{" sp ", "back\\slash"}).ok());
    EXPECT_EQ(std::move(writer).take_output(),
              "x,\"y,z\"\n\"p\"\"q\",\n\"a\rb\",\"c\nd\"\n sp ,back\\slash\n");
}

TEST(CsvRowWriter, QuotesTheSeparatorInUseOnly) {
    CsvRowWriter writer(';');
    ASSERT_TRUE(writer.append_row(Row{"a,b", "c;d"}).ok());
    EXPECT_EQ(std::move(writer).take_output(), "a,b;\"c;d\"\n");
}

TEST(CsvRowWriter, RowsWithoutBytesBecomeTwoQuotes) {
    CsvRowWriter empty_rows(',');
    ASSERT_TRUE(empty_rows.append_row(Row{}).ok());
    ASSERT_TRUE(empty_rows.append_row(Row{}).ok());
    EXPECT_EQ(std::move(empty_rows).take_output(), "\"\"\n\"\"\n");

    CsvRowWriter single_empty(',');
    ASSERT_TRUE(single_empty.append_row(Row{""}).ok());
    ASSERT_TRUE(single_empty.append_row(Row{"a"}).ok());
    EXPECT_EQ(std::move(single_empty).take_output(), "\"\"\na\n");

    CsvRowWriter two_empty(',');
    ASSERT_TRUE(two_empty.append_row(Row{"", ""}).ok());
    EXPECT_EQ(std::move(two_empty).take_output(), ",\n");
}

TEST(CsvRowWriter, FieldCountMustMatchTheFirstRow) {
    CsvRowWriter writer(',');
    ASSERT_TRUE(writer.append_row(Row{}).ok());
    Status status = writer.append_row(Row{"a"});
    ASSERT_FALSE(status.ok());
    EXPECT_EQ(status.error().message(),
              "CSV error: found record with 1 fields, but the previous record has 0 fields");

    CsvRowWriter later(',');
    ASSERT_TRUE(later.append_row(Row{"a", "b"}).ok());
    ASSERT_TRUE(later.append_row(Row{"c", "d"}).ok());
    status = later.append_row(Row{"e", "f", "g"});
    ASSERT_FALSE(status.ok());
    EXPECT_EQ(status.error().message(),
              "CSV error: found record with 3 fields, but the previous record has 2 fields");
    // The failed row leaves nothing half-written behind.
    EXPECT_EQ(std::move(later).take_output(), "a,b\nc,d\n");
}

// Whatever the writer produces must read back to the same fields, apart from
// the documented exceptions (an empty row, a leading byte-order mark).
TEST(CsvRowWriter, RowsReadBackToTheirFields) {
    std::mt19937 random(7);
    // No LF: rows come from lines, which never hold one.
    const std::string alphabet = ",;\"\r a\\";
    for (int round = 0; round < 5000; ++round) {
        const char separator = round % 2 ? ',' : ';';
        const std::size_t count = 1 + random() % 4;
        std::vector<std::string> fields(count);
        for (auto& field : fields) {
            const int length = static_cast<int>(random() % 5);
            for (int i = 0; i < length; ++i) field.push_back(alphabet[random() % alphabet.size()]);
        }
        if (count == 1 && fields[0].empty()) continue;
        std::vector<std::string_view> row(fields.begin(), fields.end());
        CsvRowWriter writer(static_cast<std::uint8_t>(separator));
        ASSERT_TRUE(writer.append_row(row).ok());
        std::string text = std::move(writer).take_output();
        ASSERT_EQ(text.back(), '\n');
        ASSERT_EQ(text.find('\n'), text.size() - 1) << "a row must stay one line";
        text.pop_back();

        CsvRecord record;
        ASSERT_TRUE(parse_csv_line(text, static_cast<std::uint8_t>(separator), record).ok());
        ASSERT_EQ(record.size(), count) << testing::PrintToString(text);
        for (std::size_t i = 0; i < count; ++i) EXPECT_EQ(record.field(i), fields[i]);
    }
}

}  // namespace
}  // namespace vicinor::csv
