#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "csv/record.hpp"
#include "csv/row_cursor.hpp"
#include "geocoder/batch.hpp"
#include "geocoder/block_geocoder.hpp"
#include "geocoder/construction.hpp"
#include "geocoder/lookup.hpp"
#include "geocoder/neighbour_batch.hpp"
#include "geocoder/row_fields.hpp"

namespace vicinor {
namespace {

using Rows = std::vector<std::vector<std::string>>;

// Every row of a final block, with the line (from 0) each begins on.
Rows read_rows(std::string_view text, char sep, std::vector<std::size_t>* lines = nullptr) {
    Rows rows;
    csv::CsvRecord record;
    csv::CsvRowCursor cursor(text, sep, true);
    while (cursor.next(record) == csv::CsvRowCursor::Step::kRow) {
        std::vector<std::string> fields;
        for (std::size_t i = 0; i < record.size(); ++i) fields.emplace_back(record.field(i));
        rows.push_back(std::move(fields));
        if (lines) lines->push_back(cursor.row_line());
        record.clear();
    }
    return rows;
}

TEST(CsvRowCursor, CrLfAndCrLfEndRowsAndQuotedFieldsHoldThem) {
    std::vector<std::size_t> lines;
    const Rows rows = read_rows("a,b\r1,2\n\n3,\"x\r\ny\"\r\n4,\"\"\"q\"\r5,6", ',', &lines);
    EXPECT_EQ(rows, (Rows{{"a", "b"}, {"1", "2"}, {"3", "x\r\ny"}, {"4", "\"q"}, {"5", "6"}}));
    EXPECT_EQ(lines, (std::vector<std::size_t>{0, 1, 3, 5, 6}));
}

TEST(CsvRowCursor, AnUnfinishedRowWaitsForTheNextBlock) {
    for (std::string_view text : {"1,2", "1,\"2\n", "1,2\r", "\"a\"\"", "1,2\n\r"}) {
        csv::FieldCounter counter;
        csv::CsvRowCursor cursor(text, ',', false);
        csv::CsvRowCursor::Step step = cursor.next(counter);
        if (step == csv::CsvRowCursor::Step::kRow) step = cursor.next(counter);
        EXPECT_EQ(step, csv::CsvRowCursor::Step::kIncomplete) << text;
    }
}

// However a file is read (any size of read), the cuts join up to the same
// rows on the same lines as reading it whole.
TEST(CutCsvRows, BlocksFromAnyReadSizeGiveTheWholeFilesRows) {
    const std::string text = "h1;h2\r\n1;\"a;\nb\"\r\r\n\n2;\"c\"\"d\"\r3;e\n4;\"unclosed\n5";
    std::vector<std::size_t> whole_lines;
    const Rows whole = read_rows(text, ';', &whole_lines);
    for (std::size_t read : {1, 2, 3, 5, 8, 64}) {
        for (std::size_t max_rows : {1, 2, 100}) {
            Rows rows;
            std::vector<std::size_t> lines;
            std::string pending;
            std::size_t at = 0;
            std::size_t line = 0;
            for (bool final = false; !final;) {
                final = at + read >= text.size();
                pending += text.substr(at, read);
                at += read;
                for (;;) {
                    const csv::RowCut cut = csv::cut_csv_rows(pending, ';', final, max_rows, 4, 1000);
                    ASSERT_FALSE(cut.too_long);
                    ASSERT_LE(cut.rows, max_rows);
                    std::vector<std::size_t> block_lines;
                    for (auto& row : read_rows(pending.substr(0, cut.bytes), ';', &block_lines)) {
                        rows.push_back(row);
                    }
                    for (std::size_t l : block_lines) lines.push_back(line + l);
                    pending.erase(0, cut.bytes);
                    line += cut.lines;
                    if (cut.rows == 0) break;
                }
            }
            EXPECT_EQ(rows, whole) << read << " " << max_rows;
            EXPECT_EQ(lines, whole_lines) << read << " " << max_rows;
            EXPECT_TRUE(pending.empty());
        }
    }
}

TEST(CutCsvRows, RowsBeyondTheLimitAreReportedWithTheirLine) {
    const std::string long_row = "x\n\n" + std::string(50, 'y');
    for (bool final : {false, true}) {
        const csv::RowCut cut = csv::cut_csv_rows(long_row, ',', final, 10, 100, 20);
        EXPECT_TRUE(cut.too_long);
        EXPECT_EQ(cut.too_long_line, 2u);
    }
}

ReverseGeocoder small_geocoder() {
    std::mt19937_64 rng(5);
    std::uniform_real_distribution<double> lat(-80, 80), lon(-180, 180);
    std::string csv = "lat,lon,name,note\n";
    for (int i = 0; i < 500; ++i) {
        csv += std::to_string(lat(rng)) + "," + std::to_string(lon(rng)) + ",p" +
               std::to_string(i) + (i % 7 == 0 ? ",\"semi;colon, comma \"\"q\"\"\"\n" : ",n\n");
    }
    Result<ReverseGeocoder> built = build_geocoder(std::move(csv), U',', false);
    EXPECT_TRUE(built.ok());
    prepare_lookups(built.value());
    return std::move(built).value();
}

std::string distance_text(double km) {
    char text[64];
    std::snprintf(text, sizeof text, "%.3f", km);
    return text;
}

// Around every half metre, where rounding the scaled value could go the
// other way than rounding the exact one, and at random over the Earth.
TEST(KmText, IsPercentThreeF) {
    std::mt19937_64 rng(11);
    std::uniform_real_distribution<double> anywhere(0, 20038);
    std::vector<double> values = {0.0, 1e-9, 0.0005, 0.0015, 1.0625, 20015.0865, 1e16, -0.0};
    for (int i = 0; i < 200000; ++i) {
        const double tie = (std::floor(anywhere(rng) * 1000) + 0.5) / 1000;
        values.insert(values.end(), {anywhere(rng), tie, std::nextafter(tie, 0.0),
                                     std::nextafter(tie, 1e9)});
    }
    for (double km : values) {
        std::string text;
        append_km_text(text, km);
        ASSERT_EQ(text, distance_text(km)) << km;
    }
}

struct Dialect {
    char sep;
    const char* eol;
};

class BlockDialects : public ::testing::TestWithParam<Dialect> {};

// Each output row is the input row's fields, then the fields single
// lookups give, then the distance as "%.3f" would print it.
TEST_P(BlockDialects, RowsComeBackWithTheirNearestPlace) {
    const ReverseGeocoder geocoder = small_geocoder();
    const Dialect dialect = GetParam();
    const std::string sep(1, dialect.sep);
    std::mt19937_64 rng(9);
    std::uniform_real_distribution<double> lat(-90, 90), lon(-360, 360);
    std::string block;
    Rows inputs;
    for (int i = 0; i < 300; ++i) {
        const std::string la = std::to_string(lat(rng)), lo = std::to_string(lon(rng));
        const std::string note = i % 3 == 0 ? "a" + sep + "\"b\"\nc" : "plain";
        inputs.push_back({"id" + std::to_string(i), note, la, lo});
        std::string quoted = "\"";
        for (char c : note) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
        block += "id" + std::to_string(i) + sep + quoted + "\"" + sep + la + sep + lo + dialect.eol;
    }
    BlockOptions options;
    options.separator = dialect.sep;
    options.header = {"id", "note", "y", "x"};
    options.lat_column = 2;
    options.lon_column = 3;
    Result<BlockGeocoder> made = BlockGeocoder::make(geocoder, options);
    ASSERT_TRUE(made.ok());
    std::string bytes;
    Result<BlockOutput> out = made->geocode(block, 2, bytes);
    ASSERT_TRUE(out.ok());
    EXPECT_FALSE(out->bad);
    EXPECT_EQ(out->rows, inputs.size());
    EXPECT_EQ(bytes.find('\r'), std::string::npos);  // one line ending: LF
    const Rows rows = read_rows(bytes, dialect.sep);
    ASSERT_EQ(rows.size(), inputs.size());
    csv::CsvRecord place;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        Result<NearestRow> nearest =
            nearest_row(geocoder, std::stod(inputs[i][2]), std::stod(inputs[i][3]));
        ASSERT_TRUE(nearest.ok());
        ASSERT_TRUE(read_row_fields(geocoder, row_text_at(geocoder, nearest->row), place).ok());
        std::vector<std::string> expected = inputs[i];
        for (std::size_t f = 0; f < place.size(); ++f) expected.emplace_back(place.field(f));
        expected.push_back(distance_text(chord_to_km(nearest->squared_chord)));
        EXPECT_EQ(rows[i], expected) << i;
    }
    EXPECT_EQ(made->header_line(), "id" + sep + "note" + sep + "y" + sep + "x" + sep + "lat" + sep +
                                       "lon" + sep + "name" + sep + "place_note" + sep +
                                       "distance_km\n");
}

INSTANTIATE_TEST_SUITE_P(Separators, BlockDialects,
                         ::testing::Values(Dialect{',', "\n"}, Dialect{';', "\r\n"},
                                           Dialect{'\t', "\r"}));

TEST(BlockGeocoder, AppendedNamesStayDistinctAndJsonKeysKeepRepeatedNames) {
    const ReverseGeocoder geocoder = small_geocoder();
    BlockOptions options;
    options.header = {"lat", "lon", "name", "name"};
    options.format = BlockFormat::kJsonLines;
    Result<BlockGeocoder> made = BlockGeocoder::make(geocoder, options);
    ASSERT_TRUE(made.ok());
    EXPECT_EQ(made->appended_names(), (std::vector<std::string>{"place_lat", "place_lon",
                                                               "place_name", "note",
                                                               "distance_km"}));
    std::string line;
    ASSERT_TRUE(made->geocode("10,20,\"a\"\"\\\n\",b\n", 2, line).ok());
    EXPECT_EQ(line.rfind(R"({"lat":"10","lon":"20","name":"a\"\\\n","name_2":"b","place_lat":")", 0),
              0u)
        << line;
    EXPECT_NE(line.find("\"distance_km\":"), std::string::npos);
    EXPECT_EQ(line.find("\"distance_km\":\""), std::string::npos);  // a number
    EXPECT_EQ(line.back(), '\n');
}

struct BadCase {
    const char* row;
    const char* reason;
};

class BadRows : public ::testing::TestWithParam<BadCase> {};

TEST_P(BadRows, FailNamesLineAndValueSkipWritesTheRowWithoutAPlace) {
    const ReverseGeocoder geocoder = small_geocoder();
    BlockOptions options;
    options.header = {"id", "lat", "lon"};
    options.lat_column = 1;
    options.lon_column = 2;
    const std::string block = std::string("a,1,2\r\n\n") + GetParam().row + "\nc,3,4\n";
    std::string bytes;
    Result<BlockOutput> failed = BlockGeocoder::make(geocoder, options)->geocode(block, 5, bytes);
    ASSERT_TRUE(failed.ok());
    ASSERT_TRUE(failed->bad);
    EXPECT_EQ(failed->bad->line, 7u);
    EXPECT_EQ(failed->bad->reason, GetParam().reason);
    EXPECT_TRUE(bytes.empty());

    options.bad_rows = BadRowPolicy::kSkip;
    Result<BlockOutput> skipped = BlockGeocoder::make(geocoder, options)->geocode(block, 5, bytes);
    ASSERT_TRUE(skipped.ok());
    EXPECT_EQ(skipped->rows, 3u);
    EXPECT_EQ(skipped->skipped, 1u);
    const Rows rows = read_rows(bytes, ',');
    ASSERT_EQ(rows.size(), 3u);
    // Short rows are padded so that the appended columns stay in place.
    EXPECT_GE(rows[1].size(), 3u + 5u);
    for (std::size_t f = rows[1].size() - 5; f < rows[1].size(); ++f) EXPECT_EQ(rows[1][f], "");
    EXPECT_NE(rows[2].back(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Reasons, BadRows,
    ::testing::Values(BadCase{"b,1", "2 fields where the header has 3"},
                      BadCase{"b,1,2,3", "4 fields where the header has 3"},
                      BadCase{"b,north,2", "latitude 'north' is not a number"},
                      BadCase{"b,1_0,2", "latitude '1_0' is not a number"},
                      BadCase{"b,1,", "longitude '' is not a number"},
                      BadCase{"b, 1,2", "latitude ' 1' is not a number"},
                      BadCase{"b,90.5,2", "latitude '90.5' is outside [-90, 90]"},
                      BadCase{"b,nan,2", "latitude 'nan' is outside [-90, 90]"},
                      BadCase{"b,1,-360.01", "longitude '-360.01' is outside [-360, 360]"},
                      BadCase{"b,1,\xff", "the row is not UTF-8 text"}));

TEST(BlockGeocoder, RefusesColumnsOutsideTheHeaderOrTwiceTheSame) {
    const ReverseGeocoder geocoder = small_geocoder();
    BlockOptions options;
    options.header = {"a", "b"};
    options.lat_column = 2;
    EXPECT_FALSE(BlockGeocoder::make(geocoder, options).ok());
    options.lat_column = 1;
    options.lon_column = 1;
    EXPECT_FALSE(BlockGeocoder::make(geocoder, options).ok());
}

// With neighbours, each good row is written once per rank that exists,
// in the order nearest_k_rows gives, the empty place of a rank beyond
// max_km keeping its distance; a bad row is written once without a rank.
TEST(BlockGeocoder, NeighboursAreRankedRowsInTheOrderOfTheKNearest) {
    ReverseGeocoder geocoder = build_geocoder(
        "lat,lon,name\n0,0,a\n0,0,b\n0,1,c\n1,1,\"d,e\"\n", U',', false).value();
    prepare_lookups(geocoder);
    prepare_neighbours(geocoder);
    for (double max_km : {std::numeric_limits<double>::infinity(), 120.0}) {
        BlockOptions options;
        options.header = {"id", "lat", "lon"};
        options.lat_column = 1;
        options.lon_column = 2;
        options.neighbours = 6;  // more than the table's four rows
        options.max_km = max_km;
        options.bad_rows = BadRowPolicy::kSkip;
        Result<BlockGeocoder> made = BlockGeocoder::make(geocoder, options);
        ASSERT_TRUE(made.ok());
        EXPECT_EQ(made->header_line(), "id,lat,lon,rank,place_lat,place_lon,name,distance_km\n");
        std::string bytes;
        ASSERT_TRUE(made->geocode("p,0.1,0.2\nbad,x,1\nq,0.9,0.9\n", 2, bytes).ok());
        const double lats[] = {0.1, 0.9};
        const double lons[] = {0.2, 0.9};
        BatchQuery query;
        query.lats = DoubleColumn{lats, 1};
        query.lons = DoubleColumn{lons, 1};
        query.count = 2;
        query.max_km = max_km;
        std::vector<std::int64_t> nearest(2 * 6);
        std::vector<double> km(2 * 6);
        ASSERT_TRUE(nearest_k_rows(geocoder, query, 6, nearest.data(), km.data()).ok());
        Rows expected;
        csv::CsvRecord place;
        for (std::size_t point = 0; point < 2; ++point) {
            const std::vector<std::string> input =
                point == 0 ? std::vector<std::string>{"p", "0.1", "0.2"}
                           : std::vector<std::string>{"q", "0.9", "0.9"};
            for (std::size_t rank = 0; rank < 4; ++rank) {
                const std::int64_t row = nearest[point * 6 + rank];
                std::vector<std::string> fields = input;
                fields.push_back(std::to_string(rank + 1));
                if (row >= 0) {
                    ASSERT_TRUE(read_row_fields(geocoder, row_text_at(geocoder, row), place).ok());
                    for (std::size_t f = 0; f < place.size(); ++f) fields.emplace_back(place.field(f));
                } else {
                    fields.insert(fields.end(), 3, "");
                }
                fields.push_back(distance_text(km[point * 6 + rank]));
                expected.push_back(fields);
            }
            if (point == 0) expected.push_back({"bad", "x", "1", "", "", "", "", ""});
        }
        EXPECT_EQ(read_rows(bytes, ','), expected) << bytes;
    }
}

// Answers supplied by the caller are written as given (a place beyond
// max_km left out, its distance kept), with the extra columns after the
// distance; a count other than the good rows' is refused.
TEST(BlockGeocoder, SuppliedAnswersAndExtraColumnsAreWrittenForTheGoodRows) {
    const ReverseGeocoder geocoder = small_geocoder();
    BlockOptions options;
    options.header = {"id", "lat", "lon"};
    options.lat_column = 1;
    options.lon_column = 2;
    options.max_km = 100;
    options.bad_rows = BadRowPolicy::kSkip;
    options.format = BlockFormat::kJsonLines;
    options.extra_columns = {{"code", false}, {"inside", true}};
    Result<BlockGeocoder> made = BlockGeocoder::make(geocoder, options);
    ASSERT_TRUE(made.ok());
    const std::string block = "a,1,2\nb,x,2\nc,3,4\n";
    std::vector<double> lats, lons;
    made->coordinates(block, 2, lats, lons);
    EXPECT_EQ(lats, (std::vector<double>{1, 3}));
    EXPECT_EQ(lons, (std::vector<double>{2, 4}));
    const std::int64_t rows[] = {7, 8};
    const double km[] = {12.5, 100.25};
    const std::string extras[] = {"F\"R", "true", "", "false"};
    SuppliedAnswers supplied{rows, km, extras, 2};
    std::string bytes;
    ASSERT_TRUE(made->geocode(block, 2, bytes, &supplied).ok());
    std::vector<std::string> lines;
    for (std::size_t at = 0; at < bytes.size();) {
        const std::size_t end = bytes.find('\n', at);
        lines.push_back(bytes.substr(at, end - at));
        at = end + 1;
    }
    ASSERT_EQ(lines.size(), 3u);
    std::string place_name = "\"name\":\"p7\"";
    EXPECT_NE(lines[0].find(place_name), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find("\"distance_km\":12.500,\"code\":\"F\\\"R\",\"inside\":true}"),
              std::string::npos)
        << lines[0];
    EXPECT_NE(lines[1].find("\"distance_km\":null,\"code\":null,\"inside\":null}"),
              std::string::npos);
    EXPECT_NE(lines[2].find("\"name\":null"), std::string::npos) << lines[2];
    EXPECT_NE(lines[2].find("\"distance_km\":100.250,\"code\":\"\",\"inside\":false}"),
              std::string::npos)
        << lines[2];
    supplied.count = 1;
    EXPECT_FALSE(made->geocode(block, 2, bytes, &supplied).ok());
    EXPECT_FALSE(made->geocode(block, 2, bytes).ok());  // extra columns need their values
}

// With neighbours, each good row's ranks are supplied one after another;
// ranks past the last place (infinite distance) are left out.
TEST(BlockGeocoder, SuppliedNeighboursAreWrittenRankByRank) {
    const ReverseGeocoder geocoder = small_geocoder();
    BlockOptions options;
    options.header = {"id", "lat", "lon"};
    options.lat_column = 1;
    options.lon_column = 2;
    options.neighbours = 2;
    options.extra_columns = {{"code", false}};
    Result<BlockGeocoder> made = BlockGeocoder::make(geocoder, options);
    ASSERT_TRUE(made.ok());
    const std::string block = "a,1,2\nc,3,4\n";
    const double inf = std::numeric_limits<double>::infinity();
    const std::int64_t rows[] = {7, 8, 9, -1};
    const double km[] = {1, 2, 3, inf};
    const std::string extras[] = {"FR", "DE"};
    SuppliedAnswers supplied{rows, km, extras, 2};
    std::string bytes;
    ASSERT_TRUE(made->geocode(block, 2, bytes, &supplied).ok());
    Rows got;
    for (const std::vector<std::string>& row : read_rows(bytes, ',')) {
        got.push_back({row[0], row[3], row[6], row[8], row[9]});
    }
    EXPECT_EQ(got, (Rows{{"a", "1", "p7", "1.000", "FR"},
                         {"a", "2", "p8", "2.000", "FR"},
                         {"c", "1", "p9", "3.000", "DE"}}))
        << bytes;
    supplied.count = 1;
    EXPECT_FALSE(made->geocode(block, 2, bytes, &supplied).ok());
}

}  // namespace
}  // namespace vicinor
