// Differential fuzzing of the nearest-one query: builds a tree from points
// decoded from the input and checks every answer against a brute-force scan
// with the exact tie rule, across every instruction-set variant the CPU runs,
// each with and without the tree's search bounds, and with a hook that
// checks what the search tells it (which must change nothing).
//
// Input: one mode byte, then the mode's data.
//   mode 0: raw doubles, 24 bytes a point (any bit pattern: NaN, infinities)
//   mode 1: a small-integer cube; one byte gives the side k (2..10), then
//           one byte per coordinate, taken mod k + 1 (forces repeated values)
//   mode 2: up to 8 raw positions, then one byte per point choosing one
//           (many identical points)
//   mode 3: points on the unit sphere, 4 bytes a point (latitude, longitude)
// Queries: every stored point, every stored point nudged by a decoded step,
// and points built from the input's last 24-byte groups.
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <numbers>
#include <vector>

#include "common/fault.hpp"
#include "kdtree/build.hpp"
#include "kdtree/build_parts.hpp"
#include "kdtree/query.hpp"
#include "kdtree/query_variants.hpp"
#include "kdtree/reference_build.hpp"
#include "kdtree/search_bounds.hpp"

namespace {

using vicinor::kdtree::Item;
using vicinor::kdtree::Nearest;
using vicinor::kdtree::Point;

constexpr std::size_t kMaxPoints = 1024;

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool empty() const { return pos_ >= size_; }
    std::size_t remaining() const { return size_ - pos_; }

    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }

    unsigned word() {
        const unsigned high = byte();
        return high << 8 | byte();
    }

    double raw_double() {
        std::uint64_t bits = 0;
        for (int i = 0; i < 8; ++i) bits = bits << 8 | byte();
        return std::bit_cast<double>(bits);
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

std::vector<Point> decode_points(Input& in) {
    std::vector<Point> points;
    switch (in.byte() % 4) {
        case 0:
            while (in.remaining() >= 24 && points.size() < kMaxPoints) {
                points.push_back({in.raw_double(), in.raw_double(), in.raw_double()});
            }
            break;
        case 1: {
            const int side = 2 + in.byte() % 9;
            while (in.remaining() >= 3 && points.size() < kMaxPoints) {
                points.push_back({double(in.byte() % (side + 1)), double(in.byte() % (side + 1)),
                                  double(in.byte() % (side + 1))});
            }
            break;
        }
        case 2: {
            const std::size_t count = 1 + in.byte() % 8;
            std::vector<Point> palette;
            for (std::size_t i = 0; i < count; ++i) {
                palette.push_back({in.raw_double(), in.raw_double(), in.raw_double()});
            }
            while (!in.empty() && points.size() < kMaxPoints) {
                points.push_back(palette[in.byte() % count]);
            }
            break;
        }
        default:
            while (in.remaining() >= 4 && points.size() < kMaxPoints) {
                const double lat = (in.word() / 65535.0 - 0.5) * std::numbers::pi;
                const double lon = (in.word() / 65535.0 - 0.5) * 2.0 * std::numbers::pi;
                points.push_back(
                    {std::cos(lat) * std::cos(lon), std::cos(lat) * std::sin(lon), std::sin(lat)});
            }
            break;
    }
    return points;
}

double distance(const Point& a, const Point& b) {
    const double dx = a[0] - b[0];
    const double dy = a[1] - b[1];
    const double dz = a[2] - b[2];
    return (dx * dx + dy * dy) + dz * dz;
}

[[noreturn]] void fail(const char* what, const Point& query, const Nearest& got, double expected) {
    std::fprintf(stderr,
                 "nearest_one mismatch (%s): query (%.17g, %.17g, %.17g) gave item %u at %.17g "
                 "(found %d), brute force %.17g\n",
                 what, query[0], query[1], query[2], got.item, got.distance, got.found, expected);
    std::abort();
}

bool same_answer(const Nearest& a, const Nearest& b) {
    return std::bit_cast<std::uint64_t>(a.distance) == std::bit_cast<std::uint64_t>(b.distance) &&
           a.item == b.item && a.found == b.found && (!a.found || a.position == b.position);
}

void check_query(const vicinor::kdtree::ImmutableKdTree& tree,
                 const vicinor::kdtree::SearchBounds& bounds,
                 const vicinor::kdtree::AnswerHook& hook, const std::vector<Point>& points,
                 const Point& query) {
    using namespace vicinor::kdtree;
    const Nearest got = nearest_one(tree, query);
    if (!same_answer(nearest_one(tree, bounds, query), got)) {
        fail("with bounds", query, nearest_one(tree, bounds, query), got.distance);
    }
    if (!same_answer(nearest_one(tree, bounds, hook, query), got)) {
        fail("with a hook", query, nearest_one(tree, bounds, hook, query), got.distance);
    }
    namespace cpu = vicinor::cpu;
    for (cpu::Level variant : cpu::kAllLevels) {
        if (!cpu::supports(variant)) continue;
        const Nearest other = nearest_one_with(variant, tree, query);
        if (!same_answer(other, got)) fail(cpu::level_name(variant), query, other, got.distance);
        const Nearest bounded = nearest_one_with(variant, tree, bounds, query);
        if (!same_answer(bounded, got)) {
            fail(cpu::level_name(variant), query, bounded, got.distance);
        }
        const Nearest hooked = nearest_one_with(variant, tree, bounds, hook, query);
        if (!same_answer(hooked, got)) {
            fail(cpu::level_name(variant), query, hooked, got.distance);
        }
    }

    double expected = kNoDistance;
    for (const Point& p : points) {
        const double d = distance(p, query);
        if (d < expected) expected = d;
    }
    if (got.found != (expected < kNoDistance)) fail("found", query, got, expected);
    if (!got.found) {
        if (got.item != 0 || got.distance != kNoDistance) fail("empty result", query, got, expected);
        return;
    }
    if (got.distance != expected) fail("distance", query, got, expected);
    if (got.item >= points.size() || distance(points[got.item], query) != expected) {
        fail("item", query, got, expected);
    }
    // Identical points share a leaf, where the earliest row wins.
    for (Item earlier = 0; earlier < got.item; ++earlier) {
        if (points[earlier] == points[got.item]) fail("earliest copy", query, got, expected);
    }
}

// The fast construction must give the bytes of the plain statement of the
// rules wherever both finish. Which copy of a NaN lands at a split depends
// on how the selection arranged the chunk, so tables with one are not held
// to the reference's arrangement.
void check_against_reference(const std::vector<Point>& points) {
    for (const Point& p : points) {
        for (double v : p) {
            if (v != v) return;
        }
    }
    using vicinor::kdtree::detail::PackedMethod;
    const auto fast = vicinor::kdtree::detail::build_packed_tree(points, PackedMethod::kPermutation);
    auto same_bytes = [](const auto& a, const auto& b) {
        return a.size() == b.size() &&
               (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(a[0])) == 0);
    };
    // Found on ranks: the same bytes, and the same tables left to the fallback.
    const auto ranked = vicinor::kdtree::detail::build_packed_tree(points, PackedMethod::kRanks);
    if (fast.has_value() != ranked.has_value() ||
        (fast && (!same_bytes(fast->stems, ranked->stems) ||
                  !same_bytes(fast->leaves, ranked->leaves)))) {
        std::fprintf(stderr, "construction on ranks differs\n");
        std::abort();
    }
    // Numbered along the curve, as large tables are built: the same bytes.
    vicinor::kdtree::PointColumns columns = vicinor::kdtree::PointColumns::from_points(points);
    const auto renumbered =
        vicinor::kdtree::detail::build_packed_tree(columns, nullptr, 0, PackedMethod::kPermutation);
    if (fast.has_value() != renumbered.has_value() ||
        (fast && (!same_bytes(fast->stems, renumbered->stems) ||
                  !same_bytes(fast->leaves, renumbered->leaves)))) {
        std::fprintf(stderr, "renumbered construction differs\n");
        std::abort();
    }
    // Where the fast construction gives up, the fallback numbered along the
    // curve gives the bytes it gives unnumbered.
    if (!fast) {
        vicinor::kdtree::PointColumns plain = vicinor::kdtree::PointColumns::from_points(points);
        const std::vector<std::uint32_t> kept = vicinor::kdtree::detail::distinct_first_copies(plain);
        const auto unnumbered = vicinor::kdtree::detail::build_robust_tree(plain, kept, SIZE_MAX);
        const auto numbered = vicinor::kdtree::detail::build_robust_tree(columns, kept, 0);
        if (!same_bytes(unnumbered.stems, numbered.stems) ||
            !same_bytes(unnumbered.leaves, numbered.leaves)) {
            std::fprintf(stderr, "renumbered fallback construction differs\n");
            std::abort();
        }
    }
    const auto reference = vicinor::kdtree::detail::build_reference_tree(points);
    if (!fast || !reference) return;
    if (!same_bytes(fast->stems, reference->stems) || !same_bytes(fast->leaves, reference->leaves)) {
        std::fprintf(stderr, "fast construction differs from the reference rules\n");
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    const std::vector<Point> points = decode_points(in);

    check_against_reference(points);

    vicinor::kdtree::ImmutableKdTree tree;
    try {
        tree = vicinor::kdtree::build_tree(points);
    } catch (const vicinor::InternalFault&) {
        return 0;  // construction's own failures are not the query's concern
    }
    const vicinor::kdtree::SearchBounds bounds = vicinor::kdtree::compute_search_bounds(tree);
    // A hook that checks what the search names: a leaf past the tree
    // throws (fatal here), a slot that does not hold the item traps.
    static const vicinor::kdtree::ImmutableKdTree* hooked_tree;
    hooked_tree = &tree;
    // Per-leaf entries of one byte each, as many as the leaves.
    const std::vector<std::byte> per_leaf(tree.leaves.size());
    const vicinor::kdtree::AnswerHook hook{
        nullptr,
        [](const void*, std::size_t leaf, std::size_t slot, vicinor::kdtree::Item item) noexcept {
            if (hooked_tree->leaves.at(leaf).content_items[slot] != item) __builtin_trap();
        },
        per_leaf.data(), 1, 1, per_leaf.size()};

    // Stored points nudged by a decoded step land near, and across, the
    // splits that separate them.
    const std::uint8_t step_byte = size > 1 ? data[1] : 0;
    const double step = (step_byte % 16 + 1) / 64.0;
    for (std::size_t i = 0; i < points.size(); ++i) {
        const Point& p = points[i];
        check_query(tree, bounds, hook, points, p);
        const double sx = (i % 3 == 0 ? -step : step), sy = (i % 5 == 0 ? step : -step);
        check_query(tree, bounds, hook, points,
                    {p[0] + sx, p[1] + sy, p[2] + step * (i % 7 == 0 ? 2 : -1)});
    }
    for (std::size_t group = 0; group < 4 && size >= 24 * (group + 1); ++group) {
        const std::uint8_t* tail = data + size - 24 * (group + 1);
        Point query;
        std::memcpy(query.data(), tail, sizeof query);
        check_query(tree, bounds, hook, points, query);
    }
    return 0;
}
