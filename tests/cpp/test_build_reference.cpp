// The left-packed construction against a plain transcription of its rules:
// whole-chunk sorts instead of the selection, no reuse of earlier
// arrangements, no work bound. Both must give the same bytes wherever the
// plain one finishes.
#include <algorithm>
#include <cmath>
#include <bit>
#include <cstring>
#include <optional>

#include "kdtree/build_parts.hpp"
#include "kdtree/order_key.hpp"
#include "test_build_support.hpp"

namespace vicinor::kdtree::testing {
namespace {

class PlainPackedBuild {
public:
    explicit PlainPackedBuild(const std::vector<Point>& points) : points_(points) {}

    std::optional<ImmutableKdTree> run() {
        const std::size_t n = points_.size();
        for (std::uint32_t k = 0; k < n; ++k) sort_index_.push_back(k);
        std::size_t leaves = (n + 31) / 32;
        std::size_t stem_count = leaves < 2 ? 1 : std::bit_ceil(leaves);
        stems_.assign(stem_count, kInf);
        shifts_.assign(stem_count, 0);
        for (int attempt = 0; attempt < 100000; ++attempt) {
            std::optional<std::size_t> r = split(0, n, 1, 0, leaves * 32);
            if (!r) return std::nullopt;
            if (*r == 0) return place(leaves);
            leaves += (*r + 31) / 32;
            if (leaves > stem_count) {
                std::vector<std::size_t> old = shifts_;
                stem_count *= 2;
                stems_.assign(stem_count, kInf);
                shifts_.assign(stem_count, 0);
                shifts_[1] = *r;
                if (old.size() > 1) shifts_[2] = old[1];
                for (std::size_t j = 2; j < old.size(); ++j) {
                    if (old[j] != 0) shifts_[j + std::bit_floor(j)] = old[j];
                }
            }
        }
        return std::nullopt;
    }

private:
    detail::OrderKey key(std::size_t pos, std::size_t d) const {
        return detail::order_key(points_[sort_index_[pos]][d]);
    }

    // A full sort is a valid selection; point numbers order equal keys.
    std::size_t adjust(std::size_t lo, std::size_t m, std::size_t d, std::size_t p) {
        std::sort(sort_index_.begin() + lo, sort_index_.begin() + lo + m,
                  [&](std::uint32_t a, std::uint32_t b) {
                      const auto ka = detail::order_key(points_[a][d]);
                      const auto kb = detail::order_key(points_[b][d]);
                      return ka < kb || (ka == kb && a < b);
                  });
        while (p > 1 && key(lo + p, d) != detail::kNanKey && key(lo + p - 1, d) == key(lo + p, d)) --p;
        return p;
    }

    std::optional<std::size_t> split(std::size_t lo, std::size_t m, std::size_t i, std::size_t d,
                                     std::size_t capacity) {
        if (m <= 32) return 0;
        if (m > capacity) return m - capacity;
        const std::size_t L = stems_.size();
        if (i >= L) return std::nullopt;
        const int h = std::countr_zero(L) - (std::bit_width(i) - 1) - 1;
        const std::size_t half = (std::size_t{1} << h) * 32;
        const std::size_t left_cap = std::min(capacity, half);
        const std::size_t right_cap = capacity - left_cap;
        const std::size_t s = shifts_[i], t = m + s, g = t / 2;
        const std::size_t a = t < 4 ? 1 : std::bit_ceil(g);
        std::size_t b = 1;
        if (t >= 2) {
            b = 1;
            while (b <= g) b *= 2;
        }
        const bool use_b = i == 1 ? m % 2 == 1 : (m % 2 == 1 && s == 0);
        const std::size_t first = (use_b ? b : a) - s;
        const std::size_t second = m > right_cap ? m - right_cap : 0;
        std::size_t p = std::max(first, second);
        if (p > m) return std::nullopt;
        if (p < m) {
            p = adjust(lo, m, d, p);
            stems_[i] = points_[sort_index_[lo + p]][d];
        }
        if (p <= 32 && m - p <= 32) return 0;
        if (m - p > right_cap) return (m - p) - right_cap;
        for (;;) {
            std::optional<std::size_t> rl = split(lo, p, 2 * i, (d + 1) % 3, left_cap);
            if (!rl) return std::nullopt;
            if (*rl == 0) return split(lo + p, m - p, 2 * i + 1, (d + 1) % 3, right_cap);
            if (*rl > p) return std::nullopt;
            p = adjust(lo, m, d, p - *rl);
            if (m - p > right_cap) {
                shifts_[i] += *rl;
                return (m - p) - right_cap;
            }
            adjust(lo, m, d, p);  // select again at p
            stems_[i] = points_[sort_index_[lo + p]][d];
            shifts_[i] += *rl;
        }
    }

    std::optional<ImmutableKdTree> place(std::size_t leaf_count) {
        ImmutableKdTree tree;
        tree.leaves.resize(leaf_count);
        for (std::size_t k = 0; k < points_.size(); ++k) {
            ImmutableKdTree probe{{}, stems_, 0};
            const std::size_t leaf = leaf_reached(probe, points_[k]);
            if (leaf >= leaf_count || tree.leaves[leaf].size == 32) return std::nullopt;
            LeafNode& l = tree.leaves[leaf];
            for (std::size_t d = 0; d < 3; ++d) l.content_points[d][l.size] = points_[k][d];
            l.content_items[l.size++] = static_cast<Item>(k);
        }
        tree.stems = stems_;
        tree.size = points_.size();
        return tree;
    }

    const std::vector<Point>& points_;
    std::vector<std::uint32_t> sort_index_;
    std::vector<double> stems_;
    std::vector<std::size_t> shifts_;
};

void expect_same_bytes(const ImmutableKdTree& a, const ImmutableKdTree& b) {
    ASSERT_EQ(a.stems.size(), b.stems.size());
    ASSERT_EQ(a.leaves.size(), b.leaves.size());
    EXPECT_EQ(std::memcmp(a.stems.data(), b.stems.data(), a.stems.size() * sizeof(double)), 0);
    for (std::size_t i = 0; i < a.leaves.size(); ++i) {
        EXPECT_EQ(std::memcmp(&a.leaves[i], &b.leaves[i], sizeof(LeafNode)), 0) << "leaf " << i;
    }
    EXPECT_EQ(a.size, b.size);
}

// Builds `points` both ways and compares the bytes; counts the tables both
// built and those whose duplicates forced extra leaves.
struct ComparedBuilds {
    int both_built = 0;
    int shifted = 0;

    void compare(const std::vector<Point>& points) {
        const std::optional<ImmutableKdTree> plain = PlainPackedBuild(points).run();
        const std::optional<ImmutableKdTree> packed = detail::build_packed_tree(points);
        ASSERT_EQ(plain.has_value(), packed.has_value());
        if (!plain) return;
        ++both_built;
        if (plain->leaves.size() > (points.size() + 31) / 32) ++shifted;
        expect_same_bytes(*packed, *plain);
    }
};

TEST(BuildReference, SameLayoutAsThePlainRules) {
    std::mt19937 rng(99);
    ComparedBuilds builds;
    for (int round = 0; round < 400; ++round) {
        const std::size_t n = 33 + rng() % 1200;
        std::vector<Point> points(n);
        // Mostly distinct values with some coordinates drawn from small sets,
        // so that shifts, retries and doublings happen without always failing.
        const int spread = 2 + int(rng() % 400);
        const int repeated_dim = int(rng() % 4);  // 3: none
        std::uniform_real_distribution<double> u(-1.0, 1.0);
        for (Point& p : points) {
            for (int d = 0; d < 3; ++d) p[d] = d == repeated_dim ? double(rng() % spread) : u(rng);
        }
        if (round % 5 == 0) {
            for (std::size_t k = 0; k < n; k += 3) points[k][(k / 3) % 3] = double(rng() % 7);
        }
        if (round % 13 == 0) points[rng() % n][rng() % 3] = kNaN;
        SCOPED_TRACE(::testing::Message() << "round " << round << " n=" << n);
        builds.compare(points);
        if (::testing::Test::HasFailure()) break;
    }
    // The mix must exercise the retries, not only clean splits.
    EXPECT_GT(builds.both_built, 100);
    EXPECT_GT(builds.shifted, 30);
}

// Tables shaped like real ones and large enough that shifts travel up
// through filled left subtrees and retry them many times: places on a
// coarse grid (so that rows of a latitude share z) plus some towns listed
// twice. Retried subtrees whose points did not change are reused, and must
// come out exactly as if redone.
TEST(BuildReference, SameLayoutOnLargeRoundedTables) {
    std::mt19937 rng(7);
    ComparedBuilds builds;
    for (int round = 0; round < 8; ++round) {
        const std::size_t n = 2000 + rng() % 5000;
        const double step = round % 3 == 0 ? 0.01 : 0.001;
        std::uniform_real_distribution<double> lat(35.0, 60.0), lon(-10.0, 30.0);
        std::vector<Point> points;
        while (points.size() < n) {
            const double la = std::round(lat(rng) / step) * step;
            const double lo = std::round(lon(rng) / step) * step;
            points.push_back(sphere_point(la, lo));
            if (rng() % 20 == 0 && points.size() < n) points.push_back(points.back());
        }
        SCOPED_TRACE(::testing::Message() << "round " << round << " n=" << n);
        builds.compare(points);
        if (::testing::Test::HasFailure()) break;
    }
    EXPECT_GT(builds.both_built, 5);
    EXPECT_GT(builds.shifted, 3);
}

}  // namespace
}  // namespace vicinor::kdtree::testing
