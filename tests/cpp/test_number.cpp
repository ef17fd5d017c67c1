#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "geocoder/construction.hpp"
#include "geocoder/number.hpp"

namespace vicinor {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

double number(std::string_view text) {
    double value = 12345.0;
    EXPECT_EQ(parse_coordinate(text, value), NumberStatus::ok) << text;
    return value;
}

NumberStatus status_of(std::string_view text) {
    double value = 0.0;
    return parse_coordinate(text, value);
}

TEST(CoordinateNumber, DecimalForms) {
    EXPECT_EQ(number("1.5"), 1.5);
    EXPECT_EQ(number("-1.5"), -1.5);
    EXPECT_EQ(number("+1.5"), 1.5);
    EXPECT_EQ(number(".5"), 0.5);
    EXPECT_EQ(number("5."), 5.0);
    EXPECT_EQ(number("007"), 7.0);
    EXPECT_EQ(number("1e3"), 1000.0);
    EXPECT_EQ(number("1E-3"), 0.001);
    EXPECT_EQ(number("+2.5e+2"), 250.0);
    EXPECT_TRUE(std::signbit(number("-0")));
    EXPECT_EQ(number("48.85"), 48.85);
}

TEST(CoordinateNumber, RoundsToNearestWithTiesToEven) {
    EXPECT_EQ(number("9007199254740993"), 9007199254740992.0);
    EXPECT_EQ(number("9007199254740995"), 9007199254740996.0);
    EXPECT_EQ(number("0.1000000000000000055511151231257827021181583404541015625"), 0.1);
    EXPECT_EQ(number("1.00000000000000011102230246251565404236316680908203125"), 1.0);
    EXPECT_EQ(number("1.00000000000000011102230246251565404236316680908203126"),
              std::nextafter(1.0, 2.0));
}

// Plain decimals take a shortcut; it must give the general parser's double,
// bit for bit, on both sides of every limit it has (digits, 2^53, 10^22).
TEST(CoordinateNumber, PlainDecimalsMatchTheGeneralParserBitForBit) {
    auto expect_exact = [](const std::string& text) {
        double expected = 0.0;
        std::from_chars(text.data(), text.data() + text.size(), expected);
        const double parsed = number(text);
        EXPECT_EQ(std::memcmp(&parsed, &expected, sizeof parsed), 0) << text;
        const double negative = number("-" + text);
        EXPECT_EQ(negative, -expected) << text;
        EXPECT_TRUE(std::signbit(negative)) << text;
    };
    for (const char* text :
         {"0", "0.0", "000.000", "9007199254740992", "9007199254740993", "900719925474099.3",
          "9999999999999999999", "99999999999999999999", "1234567890123456789",
          "0.0000000000000000000001", "0.00000000000000000000001", "4.2e1",
          "1.0000000000000000000000001", "42.53176", "0.5", "179.99999", "0.1", "0.3"}) {
        expect_exact(text);
    }
    std::mt19937_64 random(20261207);
    for (int round = 0; round < 200000; ++round) {
        std::string text;
        const int digit_count = 1 + static_cast<int>(random() % 20);
        const int point = static_cast<int>(random() % (digit_count + 2)) - 1;  // -1: none
        for (int i = 0; i < digit_count; ++i) {
            if (i == point) text.push_back('.');
            text.push_back(static_cast<char>('0' + random() % 10));
        }
        if (point == digit_count) text.push_back('.');
        expect_exact(text);
    }
}

TEST(CoordinateNumber, SpecialWordsInAnyCaseWithSign) {
    EXPECT_EQ(number("inf"), kInf);
    EXPECT_EQ(number("INF"), kInf);
    EXPECT_EQ(number("+Infinity"), kInf);
    EXPECT_EQ(number("-iNfInItY"), -kInf);
    EXPECT_TRUE(std::isnan(number("nan")));
    EXPECT_TRUE(std::isnan(number("NaN")));
    EXPECT_TRUE(std::isnan(number("-NAN")));
    EXPECT_TRUE(std::isnan(number("+nan")));
}

TEST(CoordinateNumber, OutOfRangeSaturatesInsteadOfFailing) {
    EXPECT_EQ(number("1e400"), kInf);
    EXPECT_EQ(number("-1e400"), -kInf);
    EXPECT_EQ(number("1.7976931348623159e308"), kInf);
    EXPECT_EQ(number("1.7976931348623157e308"), std::numeric_limits<double>::max());
    EXPECT_EQ(number("99999999999999999999999999999e99999999999999999999999999999"), kInf);
    EXPECT_EQ(number("0.00001e400"), kInf);

    EXPECT_EQ(number("1e-400"), 0.0);
    EXPECT_TRUE(std::signbit(number("-1e-400")));
    EXPECT_EQ(number("-1e-400"), 0.0);
    EXPECT_EQ(number("2.4703282292062327e-324"), 0.0);
    EXPECT_EQ(number("2.4703282292062328e-324"), std::numeric_limits<double>::denorm_min());
    EXPECT_EQ(number("1e-310"), 1e-310);
    EXPECT_EQ(number("100000e-99999999999999999999999999999"), 0.0);
    EXPECT_EQ(number(".0000000001e-320"), 0.0);
    EXPECT_EQ(number("0e99999"), 0.0);
}

TEST(CoordinateNumber, EverythingElseIsInvalid) {
    for (std::string_view text :
         {"+", "-", ".", "+.", "e5", "1e", "1e+", "1e-", "+-1", "-+1", "--1", "++1", "1.5 ",
          " 1.5", "1 .5", "\t1", "1\r", "0x10", "0x1p3", "1p3", "nan(1)", "nan()", "-nan(x)",
          "infin", "infinityy", "in", "na", "1,5", "1_0", "1e5.5", "1.2.3", "+ 1", "Inf ",
          "\xD9\xA1", "1e400x", "1d3", "1f"}) {
        EXPECT_EQ(status_of(text), NumberStatus::invalid) << testing::PrintToString(text);
    }
}

TEST(CoordinateNumber, MessagesNameNeitherLineNorField) {
    EXPECT_EQ(status_of(""), NumberStatus::empty);
    Result<double> empty = parse_coordinate(std::string_view{});
    ASSERT_FALSE(empty.ok());
    EXPECT_EQ(empty.error().message(), "cannot parse float from empty string");
    Result<double> bad = parse_coordinate(std::string_view{" 2"});
    ASSERT_FALSE(bad.ok());
    EXPECT_EQ(bad.error().message(), "invalid float literal");
}

TEST(SeparatorByte, AsciiOnly) {
    EXPECT_EQ(separator_byte(U',').value(), ',');
    EXPECT_EQ(separator_byte(U'\0').value(), 0);
    EXPECT_EQ(separator_byte(char32_t{127}).value(), 127);
    for (auto [code, message] :
         {std::pair{char32_t{233}, "Value separator must by an ASII character (got 233)"},
          std::pair{char32_t{128}, "Value separator must by an ASII character (got 128)"},
          std::pair{char32_t{0x10FFFF},
                    "Value separator must by an ASII character (got 1114111)"}}) {
        Result<std::uint8_t> result = separator_byte(code);
        ASSERT_FALSE(result.ok());
        EXPECT_EQ(result.error().message(), message);
    }
}

TEST(LatLonToPoint, UnitSphereWithoutNormalising) {
    EXPECT_EQ(lat_lon_to_point(0.0, 0.0), (kdtree::Point{1.0, 0.0, 0.0}));

    const kdtree::Point pole = lat_lon_to_point(90.0, 0.0);
    EXPECT_EQ(pole[2], 1.0);
    EXPECT_EQ(pole[0], 6.123233995736766e-17);
    EXPECT_EQ(pole[1], 0.0);

    // Each angle is multiplied once by the constant, not divided by 180.
    const double lat = 33.3;
    const double lon = -117.7;
    const kdtree::Point p = lat_lon_to_point(lat, lon);
    EXPECT_EQ(p[2], std::sin(lat * 0.017453292519943295));
    EXPECT_EQ(p[0], std::cos(lat * 0.017453292519943295) * std::cos(lon * 0.017453292519943295));

    // Out-of-range angles are taken as they are.
    EXPECT_EQ(lat_lon_to_point(450.0, 0.0)[2], std::sin(450.0 * DEG_TO_RAD));
    const kdtree::Point nan_point = lat_lon_to_point(std::nan(""), 0.0);
    EXPECT_TRUE(std::isnan(nan_point[0]) && std::isnan(nan_point[2]));
}

// The compiler may fuse the sine and cosine of one angle into one library
// call; the point must still be what separate sin and cos calls give, or a
// query at a stored row's coordinates could miss that row's exact point.
TEST(LatLonToPoint, AgreesWithSeparateSinAndCosCalls) {
    double (*volatile sin_of)(double) = std::sin;
    double (*volatile cos_of)(double) = std::cos;
    std::mt19937_64 random(42);
    std::uniform_real_distribution<double> degrees(-720.0, 720.0);
    for (int round = 0; round < 200000; ++round) {
        const double lat = round % 4 == 0 ? std::round(degrees(random) * 1e5) / 1e5
                                          : degrees(random);
        const double lon = degrees(random);
        const double lat_r = lat * DEG_TO_RAD;
        const double lon_r = lon * DEG_TO_RAD;
        const kdtree::Point expected{cos_of(lat_r) * cos_of(lon_r), cos_of(lat_r) * sin_of(lon_r),
                                     sin_of(lat_r)};
        ASSERT_EQ(std::memcmp(&expected, lat_lon_to_point(lat, lon).data(), sizeof expected), 0)
            << lat << ", " << lon;
    }
}

}  // namespace
}  // namespace vicinor
