// A tiny MessagePack byte builder and a small reference geocoder for the
// reader's tests; any piece of the reference can be swapped for other bytes.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "geocoder/record.hpp"
#include "persist/codec.hpp"

namespace vicinor::persist::testing {

class Pack {
public:
    std::vector<std::uint8_t> bytes;

    Pack& raw(std::initializer_list<std::uint8_t> list) {
        bytes.insert(bytes.end(), list);
        return *this;
    }
    Pack& big_endian(std::uint64_t v, int width) {
        for (int i = width - 1; i >= 0; --i) bytes.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
        return *this;
    }
    Pack& uint(std::uint64_t v) {
        if (v < 128) return raw({static_cast<std::uint8_t>(v)});
        if (v < 256) return raw({0xcc}).big_endian(v, 1);
        if (v < 65536) return raw({0xcd}).big_endian(v, 2);
        if (v < (1ull << 32)) return raw({0xce}).big_endian(v, 4);
        return raw({0xcf}).big_endian(v, 8);
    }
    Pack& f64(double v) { return raw({0xcb}).big_endian(std::bit_cast<std::uint64_t>(v), 8); }
    Pack& f32(float v) { return raw({0xca}).big_endian(std::bit_cast<std::uint32_t>(v), 4); }
    Pack& nil() { return raw({0xc0}); }
    Pack& str(std::string_view s) {
        if (s.size() < 32) {
            raw({static_cast<std::uint8_t>(0xa0 | s.size())});
        } else {
            raw({0xdb}).big_endian(s.size(), 4);
        }
        bytes.insert(bytes.end(), s.begin(), s.end());
        return *this;
    }
    Pack& bin(std::string_view s) {
        raw({0xc6}).big_endian(s.size(), 4);
        bytes.insert(bytes.end(), s.begin(), s.end());
        return *this;
    }
    Pack& array(std::uint32_t n) {
        if (n < 16) return raw({static_cast<std::uint8_t>(0x90 | n)});
        return raw({0xdd}).big_endian(n, 4);
    }
    Pack& map(std::uint32_t n) {
        if (n < 16) return raw({static_cast<std::uint8_t>(0x80 | n)});
        return raw({0xdf}).big_endian(n, 4);
    }
    Pack& append(const Pack& other) {
        bytes.insert(bytes.end(), other.bytes.begin(), other.bytes.end());
        return *this;
    }
};

inline const std::string kReferenceCsv = "lat,lon\n10,20\n";
inline constexpr double kInf = std::numeric_limits<double>::infinity();

// Distinct values per slot, so a misplaced slot shows.
inline double reference_point(std::size_t d, std::size_t j) { return d * 100.0 + j * 0.5; }
// Items of every unsigned width the writer uses: fixint, U16 and U32.
inline std::uint32_t reference_item(std::size_t j) { return static_cast<std::uint32_t>(j * 9000); }

// Names of the replaceable pieces: csv, value_sep, columns, indexed_data,
// slice, offset, len, tree, leaves, leaf, points, items, leaf_size, stems,
// tree_size.
using Pieces = std::map<std::string, Pack>;

inline Pack reference_file(const Pieces& swap = {}) {
    Pack p;
    auto put = [&](const char* name, auto fallback) {
        auto it = swap.find(name);
        if (it != swap.end()) {
            p.append(it->second);
        } else {
            fallback();
        }
    };
    auto leaf = [&] {
        p.array(3);
        put("points", [&] {
            p.raw({0xdc, 0x00, 0x60});
            for (std::size_t d = 0; d < 3; ++d)
                for (std::size_t j = 0; j < 32; ++j) p.f64(reference_point(d, j));
        });
        put("items", [&] {
            p.raw({0xdc, 0x00, 0x20});
            for (std::size_t j = 0; j < 32; ++j) p.uint(reference_item(j));
        });
        put("leaf_size", [&] { p.uint(1); });
    };
    auto tree = [&] {
        p.array(3);
        put("leaves", [&] {
            p.array(1);
            put("leaf", leaf);
        });
        put("stems", [&] { p.array(2).f64(kInf).f64(0.25); });
        put("tree_size", [&] { p.uint(1); });
    };
    p.array(5);
    put("csv", [&] { p.str(kReferenceCsv); });
    put("value_sep", [&] { p.str(","); });
    put("columns", [&] { p.array(2).str("lat").str("lon"); });
    put("indexed_data", [&] {
        p.array(1);
        put("slice", [&] {
            p.array(2);
            put("offset", [&] { p.uint(8); });
            put("len", [&] { p.uint(5); });
        });
    });
    put("tree", tree);
    return p;
}

inline Result<ReverseGeocoder> decode(const Pack& p) { return decode_from_bytes(p.bytes); }

inline std::string decode_error(const Pack& p) {
    Result<ReverseGeocoder> r = decode(p);
    if (r.ok()) return "<decoded>";
    return r.error().message();
}

inline void expect_reference_leaf(const kdtree::LeafNode& leaf) {
    for (std::size_t d = 0; d < 3; ++d)
        for (std::size_t j = 0; j < 32; ++j) EXPECT_EQ(leaf.content_points[d][j], reference_point(d, j));
    for (std::size_t j = 0; j < 32; ++j) EXPECT_EQ(leaf.content_items[j], reference_item(j));
    EXPECT_EQ(leaf.size, 1u);
}

inline void expect_reference(const ReverseGeocoder& g) {
    EXPECT_EQ(g.csv, kReferenceCsv);
    EXPECT_EQ(g.value_sep, U',');
    EXPECT_EQ(g.columns, (std::vector<std::string>{"lat", "lon"}));
    ASSERT_EQ(g.indexed_data.size(), 1u);
    EXPECT_EQ(g.indexed_data[0].offset, 8);
    EXPECT_EQ(g.indexed_data[0].len, 5u);
    ASSERT_EQ(g.tree.leaves.size(), 1u);
    expect_reference_leaf(g.tree.leaves[0]);
    EXPECT_EQ(g.tree.stems, (std::vector<double>{kInf, 0.25}));
    EXPECT_EQ(g.tree.size, 1u);
}

}  // namespace vicinor::persist::testing
