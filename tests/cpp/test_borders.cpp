// Country borders: the file reader against hostile bytes, the grid lookup
// against a plain crossing count over every ring, and the shipped file at
// places whose country is known.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "borders/border_file.hpp"
#include "borders/country_lookup.hpp"

namespace vicinor::borders {
namespace {

struct TestRing {
    CountryNumber country;
    std::uint8_t kind;
    std::vector<std::pair<double, double>> points;  // (lon, lat) degrees, open
};

void put_u32(std::vector<std::uint8_t>& out, std::uint64_t value, int width = 4) {
    for (int i = 0; i < width; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

void put_varint(std::vector<std::uint8_t>& out, std::int64_t value) {
    std::uint64_t zigzag = (static_cast<std::uint64_t>(value) << 1) ^ static_cast<std::uint64_t>(value >> 63);
    while (zigzag >= 0x80) {
        out.push_back(static_cast<std::uint8_t>(zigzag | 0x80));
        zigzag >>= 7;
    }
    out.push_back(static_cast<std::uint8_t>(zigzag));
}

// The format scripts/build_country_borders.py writes.
std::vector<std::uint8_t> encode(const std::vector<std::string>& codes,
                                 const std::vector<TestRing>& rings) {
    std::vector<std::uint8_t> out = {'V', 'C', 'B', '1'};
    put_u32(out, codes.size());
    for (const std::string& code : codes) out.insert(out.end(), code.begin(), code.end());
    put_u32(out, rings.size());
    for (const TestRing& ring : rings) {
        put_u32(out, ring.country, 2);
        put_u32(out, ring.kind, 1);
        put_u32(out, ring.points.size());
    }
    for (const TestRing& ring : rings) {
        std::int64_t lon = 0, lat = 0;
        for (auto [x, y] : ring.points) {
            const auto ix = std::llround(x * UNITS_PER_DEGREE);
            const auto iy = std::llround(y * UNITS_PER_DEGREE);
            put_varint(out, ix - lon);
            put_varint(out, iy - lat);
            lon = ix;
            lat = iy;
        }
    }
    return out;
}

std::vector<std::pair<double, double>> box(double x0, double y0, double x1, double y1) {
    return {{x0, y0}, {x1, y0}, {x1, y1}, {x0, y1}};
}

// A country with a hole holding an enclave, one split at the antimeridian,
// a slanted triangle over many cells, and a polar cap closed along -90.
const std::vector<std::string> kCodes = {"AA", "BB", "CC", "DD", "EE"};
const std::vector<TestRing> kRings = {
    {1, 0, box(0, 0, 10, 10)},
    {1, 1, box(4.25, 4.25, 6, 6)},
    {2, 0, box(4.25, 4.25, 6, 6)},
    {3, 0, box(170, -20, 180, -10)},
    {3, 0, box(-180, -20, -170, -10)},
    {4, 0, {{20.1, 30.3}, {35.7, 31.9}, {27.3, 44.4}}},
    {5, 0, {{-180, -90}, {180, -90}, {180, -80}, {40, -75.5}, {-180, -80}}},
};

// The plain statement: the countries whose rings a ray from the point
// crosses an odd number of times, the lowest number answering.
CountryNumber brute_force(const BorderPolygons& p, double lat, double lon) {
    std::vector<int> crossings(p.codes.size() + 1, 0);
    for (const BorderRing& ring : p.rings) {
        for (std::uint32_t i = ring.first; i < ring.first + ring.count; ++i) {
            const auto [x1, y1] = p.points[i];
            const auto [x2, y2] = p.points[i + 1];
            if ((y1 > lat) != (y2 > lat) && x1 + (lat - y1) * (x2 - x1) / (y2 - y1) <= lon) {
                ++crossings[ring.country];
            }
        }
    }
    for (std::size_t c = 1; c < crossings.size(); ++c) {
        if (crossings[c] % 2 == 1) return static_cast<CountryNumber>(c);
    }
    return NO_COUNTRY;
}

CountryBorders load(const std::vector<std::uint8_t>& bytes) {
    Result<CountryBorders> borders = load_country_borders(bytes);
    if (!borders) ADD_FAILURE() << borders.error().render();
    return std::move(borders).value();
}

TEST(BorderLookup, AgreesWithACrossingCountOverEveryRing) {
    const CountryBorders borders = load(encode(kCodes, kRings));
    std::mt19937_64 random(29);
    std::uniform_real_distribution<double> lon(-180, 180), lat(-90, 90), unit(0, 1);
    for (int i = 0; i < 200000; ++i) {
        const double y = lat(random), x = lon(random);
        ASSERT_EQ(country_at(borders, y, x), brute_force(borders.polygons, y, x)) << y << " " << x;
    }
    // Just off every edge, on both sides, where the grid must count edges.
    const BorderPolygons& p = borders.polygons;
    for (const BorderRing& ring : p.rings) {
        for (std::uint32_t e = ring.first; e < ring.first + ring.count; ++e) {
            for (int k = 0; k < 20; ++k) {
                const double t = unit(random);
                const double dx = p.points[e + 1].lon - p.points[e].lon;
                const double dy = p.points[e + 1].lat - p.points[e].lat;
                const double length = std::hypot(dx, dy);
                for (double side : {-1e-7, 1e-7}) {
                    const double x = p.points[e].lon + t * dx - side * dy / length;
                    const double y = p.points[e].lat + t * dy + side * dx / length;
                    if (x < -180 || x >= 180 || y < -90 || y > 90) continue;
                    ASSERT_EQ(country_at(borders, y, x), brute_force(p, y, x)) << y << " " << x;
                }
            }
        }
    }
}

TEST(BorderLookup, HolesEnclavesAntimeridianPolesAndWrapping) {
    const CountryBorders b = load(encode(kCodes, kRings));
    EXPECT_EQ(country_at(b, 2, 2), 1);
    EXPECT_EQ(country_at(b, 5, 5), 2);     // the enclave, in its host's hole
    EXPECT_EQ(country_at(b, 4.25, 4.25), 2);  // a hole's corner on cell sides
    EXPECT_EQ(country_at(b, -15, 180), 3);  // 180 is -180
    EXPECT_EQ(country_at(b, -15, -180), 3);
    EXPECT_EQ(country_at(b, -15, 179.999), 3);
    EXPECT_EQ(country_at(b, -15, 540), 3);
    EXPECT_EQ(country_at(b, -90, 0), 5);  // the pole, on the cap's closing edge
    EXPECT_EQ(country_at(b, -90, 123), 5);
    EXPECT_EQ(country_at(b, 90, 0), NO_COUNTRY);
    EXPECT_EQ(country_at(b, 20, 20), NO_COUNTRY);
    // Beyond the pole: latitude 100 at longitude 5 is latitude 80 at -175.
    EXPECT_EQ(country_at(b, -100, 5), country_at(b, -80, -175));
    EXPECT_EQ(country_at(b, 360 + 5, 365), 2);
    EXPECT_EQ(country_at(b, NAN, 0), NO_COUNTRY);
    EXPECT_EQ(country_at(b, 0, INFINITY), NO_COUNTRY);
    EXPECT_EQ(country_at_point(b, 0, 0, -1), 5);
    EXPECT_EQ(country_at_point(b, 0, 0, 0), NO_COUNTRY);
    const double lat = 5 * M_PI / 180, lon = 5 * M_PI / 180;
    EXPECT_EQ(country_at_point(b, 3 * std::cos(lat) * std::cos(lon), 3 * std::cos(lat) * std::sin(lon),
                               3 * std::sin(lat)),
              2);
}

TEST(BorderFile, RefusesDamagedAndHostileBytes) {
    const std::vector<std::uint8_t> good = encode(kCodes, kRings);
    ASSERT_TRUE(load_country_borders(good).ok());
    for (std::size_t size = 0; size < good.size(); ++size) {
        EXPECT_FALSE(decode_border_file(std::span(good.data(), size)).ok()) << size;
    }
    std::vector<std::uint8_t> longer = good;
    longer.push_back(0);
    EXPECT_FALSE(decode_border_file(longer).ok());

    auto refused = [](const std::vector<std::string>& codes, const std::vector<TestRing>& rings) {
        Result<CountryBorders> loaded = load_country_borders(encode(codes, rings));
        return loaded.ok() ? std::string() : loaded.error().message();
    };
    const auto square = box(0, 0, 1, 1);
    EXPECT_NE(refused({"a1"}, {{1, 0, square}}), "");
    EXPECT_NE(refused({"AA"}, {{0, 0, square}}), "");
    EXPECT_NE(refused({"AA"}, {{2, 0, square}}), "");
    EXPECT_NE(refused({"AA"}, {{1, 2, square}}), "");
    EXPECT_NE(refused({"AA"}, {{1, 0, {{0, 0}, {1, 1}}}}), "");
    EXPECT_NE(refused({"AA", "BB"}, {{1, 0, square}, {2, 1, square}}), "");
    EXPECT_NE(refused({"AA"}, {{1, 0, {{0, 0}, {181, 0}, {0, 1}}}}), "");
    EXPECT_NE(refused({"AA"}, {{1, 0, {{0, 0}, {1, 0}, {0, 90.5}}}}), "");
    // Edges that cross the whole grid many times over.
    std::vector<TestRing> zigzags;
    for (int i = 0; i < 400; ++i) zigzags.push_back({1, 0, {{-180, -90}, {179, 89}, {-180, 89}}});
    EXPECT_NE(refused({"AA"}, zigzags), "");
    // More countries in one cell than the lookup keeps.
    std::vector<std::string> many;
    std::vector<TestRing> crowded;
    for (int i = 0; i < 40; ++i) {
        many.push_back({char('A' + i / 26), char('A' + i % 26)});
        crowded.push_back({CountryNumber(i + 1), 0, box(0.01 + i * 0.001, 0.01, 0.0105 + i * 0.001, 0.02)});
    }
    EXPECT_NE(refused(many, crowded), "");
}

TEST(BorderFile, AnnouncedCountsBeyondTheBytesAreRefusedBeforeAllocating) {
    std::vector<std::uint8_t> bytes = {'V', 'C', 'B', '1'};
    put_u32(bytes, 1);
    bytes.insert(bytes.end(), {'A', 'A'});
    put_u32(bytes, 0xFFFFFFFF);  // rings
    Result<BorderPolygons> decoded = decode_border_file(bytes);
    ASSERT_FALSE(decoded.ok());
    EXPECT_NE(decoded.error().message().find("exceeds the file"), std::string::npos);

    bytes.resize(10);
    put_u32(bytes, 1);
    put_u32(bytes, 1, 2);
    put_u32(bytes, 0, 1);
    put_u32(bytes, 0xFFFFFFFF);  // vertices of the ring
    EXPECT_FALSE(decode_border_file(bytes).ok());
    // A varint that never ends.
    std::vector<std::uint8_t> endless = encode({"AA"}, {{1, 0, box(0, 0, 1, 1)}});
    endless.resize(endless.size() - 16);
    endless.insert(endless.end(), 16, 0xFF);
    EXPECT_FALSE(decode_border_file(endless).ok());
}

std::vector<std::uint8_t> shipped_file() {
    std::ifstream file(VICINOR_DATA_DIR "/country-borders.bin", std::ios::binary);
    return {std::istreambuf_iterator<char>(file), {}};
}

std::string code_at(const CountryBorders& b, double lat, double lon) {
    const CountryNumber n = country_at(b, lat, lon);
    return n == NO_COUNTRY ? "" : std::string(b.polygons.codes[n - 1].data(), 2);
}

TEST(ShippedBorders, PlacesOnEveryContinentAndAtSea) {
    const CountryBorders b = load(shipped_file());
    EXPECT_EQ(code_at(b, 28.0, 9.6), "DZ");     // eastern Algeria, near Libya
    EXPECT_EQ(code_at(b, 48.95, -110.0), "US");  // Montana, near Canada
    EXPECT_EQ(code_at(b, 43.94, 12.45), "SM");
    EXPECT_EQ(code_at(b, 41.9029, 12.4534), "VA");
    EXPECT_EQ(code_at(b, -29.5, 28.2), "LS");
    EXPECT_EQ(code_at(b, 54.71, 20.51), "RU");   // Kaliningrad
    EXPECT_EQ(code_at(b, 61.2, -149.9), "US");   // Anchorage
    EXPECT_EQ(code_at(b, -16.5, 179.9), "FJ");  // Vanua Levu, east of 180 ...
    EXPECT_EQ(code_at(b, -16.48, -179.95), "FJ");  // ... and its part west of it
    EXPECT_EQ(code_at(b, 66.0, -172.0), "RU");   // Chukotka, west of 180
    EXPECT_EQ(code_at(b, -90.0, 0.0), "AQ");
    EXPECT_EQ(code_at(b, 90.0, 0.0), "");
    EXPECT_EQ(code_at(b, 0.0, -30.0), "");       // the Atlantic
    EXPECT_EQ(code_at(b, -33.87, 151.21), "AU");
    EXPECT_EQ(code_at(b, -23.55, -46.63), "BR");
}

TEST(ShippedBorders, ThreadsAndUnitSpherePointsAnswerAsSingleLookups) {
    const CountryBorders b = load(shipped_file());
    std::mt19937_64 random(7);
    std::uniform_real_distribution<double> lon(-180, 180), z(-1, 1);
    const std::size_t n = 50000;
    std::vector<double> lats(n), lons(n);
    for (std::size_t i = 0; i < n; ++i) {
        lats[i] = std::asin(z(random)) * 180 / M_PI;
        lons[i] = lon(random);
    }
    std::vector<CountryNumber> out(n);
    ASSERT_TRUE(countries_at(b, {lats.data(), 1}, {lons.data(), 1}, n, 4, out.data()).ok());
    for (std::size_t i = 0; i < n; ++i) {
        ASSERT_EQ(out[i], country_at(b, lats[i], lons[i]));
        const double la = lats[i] * M_PI / 180, lo = lons[i] * M_PI / 180;
        // The sphere's round trip moves a point by ~1e-14 degrees: the same
        // country unless a border passes closer than that.
        ASSERT_EQ(country_at_point(b, std::cos(la) * std::cos(lo), std::cos(la) * std::sin(lo),
                                   std::sin(la)),
                  out[i]);
    }
}

}  // namespace
}  // namespace vicinor::borders
