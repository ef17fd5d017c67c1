// The border file's reader: one bounds-checked cursor, every count checked
// against the bytes left before anything is allocated for it. What it
// accepts is what the grid and the lookup rely on (codes, country numbers,
// coordinates within the plane), so neither checks again.
#include "borders/border_file.hpp"

#include <cstring>
#include <limits>
#include <optional>
#include <string>

#include "borders/border_grid.hpp"

namespace vicinor::borders {
namespace {

constexpr char MAGIC[4] = {'V', 'C', 'B', '1'};
constexpr std::size_t RING_HEADER_BYTES = 2 + 1 + 4;
constexpr std::size_t MIN_VERTEX_BYTES = 2;  // two one-byte varints
constexpr std::int64_t MAX_LON = 180LL * UNITS_PER_DEGREE;
constexpr std::int64_t MAX_LAT = 90LL * UNITS_PER_DEGREE;

Error malformed(const std::string& what) { return Error("malformed country border file: " + what); }

class Cursor {
public:
    explicit Cursor(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    std::size_t left() const noexcept { return bytes_.size() - pos_; }

    std::optional<std::uint64_t> fixed(std::size_t width) {
        if (left() < width) return std::nullopt;
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < width; ++i) {
            value |= static_cast<std::uint64_t>(bytes_[pos_ + i]) << (8 * i);
        }
        pos_ += width;
        return value;
    }

    // A zigzag varint of at most 64 bits.
    std::optional<std::int64_t> signed_varint() {
        std::uint64_t value = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            if (left() == 0) return std::nullopt;
            const std::uint8_t byte = bytes_[pos_++];
            value |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
            if ((byte & 0x80) == 0) {
                return static_cast<std::int64_t>(value >> 1) ^ -static_cast<std::int64_t>(value & 1);
            }
        }
        return std::nullopt;
    }

    bool bytes(char* out, std::size_t count) {
        if (left() < count) return false;
        std::memcpy(out, bytes_.data() + pos_, count);
        pos_ += count;
        return true;
    }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t pos_ = 0;
};

bool is_code_letter(char c) { return c >= 'A' && c <= 'Z'; }

Status read_codes(Cursor& in, BorderPolygons& out) {
    const auto count = in.fixed(4);
    if (!count) return malformed("truncated country count");
    if (*count > std::numeric_limits<CountryNumber>::max() || *count > in.left() / 2) {
        return malformed("country count " + std::to_string(*count) + " exceeds the file");
    }
    out.codes.resize(static_cast<std::size_t>(*count));
    for (std::array<char, 2>& code : out.codes) {
        if (!in.bytes(code.data(), 2)) return malformed("truncated country codes");
        if (!is_code_letter(code[0]) || !is_code_letter(code[1])) {
            return malformed("a country code is not two capital letters");
        }
    }
    return {};
}

Status read_rings(Cursor& in, BorderPolygons& out) {
    const auto count = in.fixed(4);
    if (!count) return malformed("truncated ring count");
    if (*count > in.left() / RING_HEADER_BYTES) {
        return malformed("ring count " + std::to_string(*count) + " exceeds the file");
    }
    out.rings.resize(static_cast<std::size_t>(*count));
    std::uint64_t vertices = 0;
    CountryNumber outer_country = NO_COUNTRY;
    for (BorderRing& ring : out.rings) {
        const auto country = in.fixed(2);
        const auto kind = in.fixed(1);
        const auto size = in.fixed(4);
        if (!country || !kind || !size) return malformed("truncated ring headers");
        if (*country == NO_COUNTRY || *country > out.codes.size()) {
            return malformed("a ring names country " + std::to_string(*country) + " of " +
                             std::to_string(out.codes.size()));
        }
        if (*kind > 1) return malformed("a ring's kind is " + std::to_string(*kind));
        if (*size < 3) return malformed("a ring has fewer than 3 vertices");
        ring.country = static_cast<CountryNumber>(*country);
        ring.kind = static_cast<RingKind>(*kind);
        if (ring.kind == RingKind::outer) outer_country = ring.country;
        if (ring.kind == RingKind::hole && ring.country != outer_country) {
            return malformed("a hole does not follow an outer ring of its country");
        }
        ring.first = static_cast<std::uint32_t>(vertices + (&ring - out.rings.data()));
        ring.count = static_cast<std::uint32_t>(*size);
        vertices += *size;
        // Checked as it grows, so the sum cannot wrap.
        if (vertices > in.left() / MIN_VERTEX_BYTES ||
            vertices + out.rings.size() > std::numeric_limits<std::uint32_t>::max()) {
            return malformed("ring sizes exceed the file");
        }
    }
    return {};
}

Status read_vertices(Cursor& in, BorderPolygons& out) {
    const std::size_t stored = out.rings.empty()
                                   ? 0
                                   : out.rings.back().first + std::size_t{out.rings.back().count} + 1;
    out.points.resize(stored);
    out.edge_country.resize(stored);
    for (const BorderRing& ring : out.rings) {
        std::int64_t lon = 0;
        std::int64_t lat = 0;
        for (std::uint32_t i = 0; i < ring.count; ++i) {
            const auto dlon = in.signed_varint();
            const auto dlat = in.signed_varint();
            if (!dlon || !dlat) return malformed("truncated vertices");
            // Bounded first, so that the sums cannot overflow.
            if (*dlon < -2 * MAX_LON || *dlon > 2 * MAX_LON || *dlat < -2 * MAX_LAT ||
                *dlat > 2 * MAX_LAT) {
                return malformed("a vertex lies outside the plane of longitudes and latitudes");
            }
            lon += *dlon;
            lat += *dlat;
            if (lon < -MAX_LON || lon > MAX_LON || lat < -MAX_LAT || lat > MAX_LAT) {
                return malformed("a vertex lies outside the plane of longitudes and latitudes");
            }
            const std::size_t at = ring.first + i;
            out.points[at] = {static_cast<double>(lon) / UNITS_PER_DEGREE,
                              static_cast<double>(lat) / UNITS_PER_DEGREE};
            out.edge_country[at] = ring.country;
        }
        const std::size_t closing = ring.first + std::size_t{ring.count};
        out.points[closing] = out.points[ring.first];
        out.edge_country[closing] = NO_COUNTRY;  // starts no edge
    }
    return {};
}

}  // namespace

Result<BorderPolygons> decode_border_file(std::span<const std::uint8_t> bytes) {
    Cursor in(bytes);
    char magic[4];
    if (!in.bytes(magic, 4) || std::memcmp(magic, MAGIC, 4) != 0) {
        return malformed("it does not start with VCB1");
    }
    BorderPolygons polygons;
    if (Status s = read_codes(in, polygons); !s) return std::move(s).error();
    if (Status s = read_rings(in, polygons); !s) return std::move(s).error();
    if (Status s = read_vertices(in, polygons); !s) return std::move(s).error();
    if (in.left() != 0) return malformed(std::to_string(in.left()) + " bytes after the vertices");
    return polygons;
}

Result<CountryBorders> load_country_borders(std::span<const std::uint8_t> bytes) {
    Result<BorderPolygons> polygons = decode_border_file(bytes);
    if (!polygons) return std::move(polygons).error();
    CountryBorders borders;
    borders.polygons = std::move(*polygons);
    Result<BorderGrid> grid = build_border_grid(borders.polygons);
    if (!grid) return std::move(grid).error();
    borders.grid = std::move(*grid);
    return borders;
}

}  // namespace vicinor::borders
