#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "csv/lines.hpp"
#include "geocoder/compact_slices.hpp"

namespace vicinor {
namespace {

// Slices rebuilt from lengths and terminator widths must match the cut of
// the text line by line, in the narrow and the wide form alike, whatever
// ends the lines (LF, CR LF, a bare CR kept in the line, nothing at all).
TEST(CompactSlices, RebuildTheSlicesOfConsecutiveLines) {
    for (const std::string& text :
         {std::string("a\nbb\r\n\nccc\r\r\nd"), std::string("x\r\ny\n"), std::string("\n\n\n"),
          std::string("h\n1,2\n3,4\r"), std::string("only")}) {
        for (const std::size_t narrow_limit : {CompactSlices::kNarrowLimit, std::size_t{0}}) {
            std::vector<StringSlice> expected;
            CompactSlices lines(text.size(), 0, narrow_limit);
            for (const csv::CsvLine& line : csv::split_csv_lines(text)) {
                expected.push_back({static_cast<std::int64_t>(line.offset), line.length});
                lines.add(text, line);
            }
            const std::vector<StringSlice> slices = lines.slices(0);
            ASSERT_EQ(slices.size(), expected.size()) << text;
            for (std::size_t i = 0; i < slices.size(); ++i) {
                EXPECT_EQ(slices[i].offset, expected[i].offset) << text << " line " << i;
                EXPECT_EQ(slices[i].len, expected[i].len) << text << " line " << i;
            }
        }
    }
}

TEST(CompactSlices, StartAtTheGivenOffset) {
    const std::string text = "header\r\n1,2\r\n3,4\n";
    csv::CsvLineIterator line = csv::split_csv_lines(text).begin();
    ++line;
    CompactSlices lines(text.size(), 2);
    const std::size_t first = line->offset;
    for (; line != std::default_sentinel; ++line) lines.add(text, *line);
    const std::vector<StringSlice> slices = lines.slices(first);
    ASSERT_EQ(slices.size(), 2u);
    EXPECT_EQ(text.substr(static_cast<std::size_t>(slices[0].offset), slices[0].len), "1,2");
    EXPECT_EQ(text.substr(static_cast<std::size_t>(slices[1].offset), slices[1].len), "3,4");
}

}  // namespace
}  // namespace vicinor
