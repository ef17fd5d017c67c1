#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "geocoder/data_line_reader.hpp"

namespace vicinor {
namespace {

struct Reading {
    std::string error;
    std::size_t field_count = 0;
    std::string latitude;
    std::string longitude;
    std::vector<std::string> tail;
    bool operator==(const Reading&) const = default;
};

Reading read_with(bool shortcut, std::string_view line, char separator) {
    DataLineReader reader(static_cast<std::uint8_t>(separator), shortcut);
    Reading out;
    CoordinateFields fields;
    if (Status s = reader.read_coordinates(line, fields); !s) {
        out.error = s.error().message();
    } else {
        out.field_count = fields.field_count;
        out.latitude = fields.latitude;
        out.longitude = fields.longitude;
    }
    std::vector<std::string_view> tail;
    if (Status s = reader.read_tail(line, tail); !s) {
        out.error += "|" + s.error().message();
    } else {
        out.tail.assign(tail.begin(), tail.end());
    }
    return out;
}

void expect_same_reading(std::string_view line, char separator) {
    EXPECT_EQ(read_with(true, line, separator), read_with(false, line, separator))
        << testing::PrintToString(std::string(line));
}

TEST(DataLineReader, ShortcutAndGeneralReaderAgree) {
    for (std::string_view line :
         {"", "\r", "1", "1,2", "1,2,", "1,2,a,b,c", ",,,", "1,2\rx", "\xEF\xBB\xBF" "1,2,z",
          "\"1\",2,a", "1,2,\"a,b\",c"}) {
        expect_same_reading(line, ',');
    }
    std::mt19937 random(99);
    const std::string alphabet = ",,;\r\"1.-e a";
    for (int round = 0; round < 20000; ++round) {
        std::string line;
        const int length = static_cast<int>(random() % 40);
        for (int i = 0; i < length; ++i) line.push_back(alphabet[random() % alphabet.size()]);
        expect_same_reading(line, random() % 4 ? ',' : ';');
    }
}

TEST(DataLineReader, TailHoldsTheFieldsAfterTheCoordinates) {
    const Reading r = read_with(true, "1,2,a,,b", ',');
    EXPECT_EQ(r.field_count, 5u);
    EXPECT_EQ(r.latitude, "1");
    EXPECT_EQ(r.longitude, "2");
    EXPECT_EQ(r.tail, (std::vector<std::string>{"a", "", "b"}));
    EXPECT_TRUE(read_with(true, "1,2", ',').tail.empty());
    EXPECT_EQ(read_with(true, "7", ',').longitude, "");
}

}  // namespace
}  // namespace vicinor
