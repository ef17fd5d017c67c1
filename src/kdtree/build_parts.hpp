// The pieces build_tree chooses between. Internal to construction.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "kdtree/point_columns.hpp"
#include "kdtree/spatial_numbering.hpp"
#include "kdtree/tree.hpp"

namespace vicinor::kdtree::detail {

// The leaf number a point's descent ends at: coordinate >= stem goes right,
// anything else (a NaN included) goes left. `stems` has power-of-two length.
inline std::size_t descend_to_leaf(std::span<const double> stems, const Point& point) noexcept {
    const std::size_t stem_count = stems.size();
    std::size_t node = 1;
    std::size_t dim = 0;
    while (node < stem_count) {
        node = 2 * node + (point[dim] >= stems[node] ? 1 : 0);
        dim = dim == K - 1 ? 0 : dim + 1;
    }
    return node - stem_count;
}

// Sizing: ceil(n / 32) leaves; stems the smallest power of two holding
// them (1 for n <= 32).
inline std::size_t leaves_for(std::size_t points) noexcept { return (points + B - 1) / B; }
inline std::size_t stems_for(std::size_t leaves) noexcept {
    return leaves < 2 ? 1 : std::bit_ceil(leaves);
}

// The moves recorded per stem once the stems doubled: the old tree becomes
// the new root's left subtree, keeping its moves one level down, and the
// new root gets the shift that caused the doubling.
inline std::vector<std::size_t> moves_after_doubling(const std::vector<std::size_t>& old,
                                                     std::size_t shift) {
    std::vector<std::size_t> moves(2 * old.size(), 0);
    moves[1] = shift;
    if (old.size() > 1) moves[2] = old[1];
    for (std::size_t j = 2; j < old.size(); ++j) moves[j + std::bit_floor(j)] = old[j];
    return moves;
}

// Where the fast constructions give up: the rules' own bound on attempts,
// shared so that both finish on the same tables, and a work bound that
// stops only runaways (each counts entries in its own way, about n per
// level for a clean attempt; the floor is a few milliseconds).
inline constexpr std::size_t kMaxPackedAttempts = 128;
inline std::size_t packed_work_bound(std::size_t points, std::size_t stem_count) noexcept {
    constexpr std::size_t kWorkFloor = std::size_t{1} << 20;
    constexpr std::size_t kCleanAttemptsOfWork = 320;
    const std::size_t levels = static_cast<std::size_t>(std::countr_zero(stem_count)) + 1;
    return kWorkFloor + kCleanAttemptsOfWork * std::max<std::size_t>(points, 1) * levels;
}

// The rules' target for the split of m points at `node`, before runs of
// equal values are looked at: half the chunk plus the moves recorded at the
// node, rounded to a power of two so that left subtrees fill whole leaves,
// and at least enough that the right side fits. Both packed builders ask
// here.
inline std::size_t split_target(std::size_t m, std::size_t node, std::size_t moved,
                                std::size_t right_capacity) noexcept {
    const std::size_t half = (m + moved) / 2;
    // At least the next power of two (A), or strictly above half (B).
    const std::size_t a = m + moved < 4 ? 1 : std::bit_ceil(half);
    const std::size_t b = m + moved < 2 ? 1 : std::bit_floor(half) * 2;
    const bool odd = m % 2 == 1;
    const bool use_b = node == 1 ? odd : odd && moved == 0;
    const std::size_t filled = (use_b ? b : a) - moved;  // wraps on overgrown moves
    return std::max(filled, m > right_capacity ? m - right_capacity : 0);
}

// What a packed construction did, for measuring where its time goes:
// attempts over the whole point set, splits moved left for a shift, and
// entries the selections and repairs read (the work its bound counts).
struct PackedBuildCounters {
    std::size_t attempts = 0;
    std::size_t split_moves = 0;
    std::size_t entries_read = 0;
    // Of those, read by fresh selections (the rest by repairs), and how
    // many splits each way.
    std::size_t entries_selected = 0;
    std::size_t fresh_selections = 0;
    std::size_t repairs = 0;
    // Chunks whose front moved and whose lower side was moved along with
    // it, gaining or losing positions at the front.
    std::size_t fronts_gained = 0;
    std::size_t fronts_lost = 0;
    // Chunks divided over all attempts. A node whose points and capacity
    // are as at its last call, which moved no split below it, is answered
    // without dividing or visiting its subtree.
    std::size_t divisions = 0;
    // The splits were found on ranks (ranked_build.hpp).
    bool by_rank = false;
};

// How the packed construction finds its splits: on ranks where values
// repeat often in a table of moderate size, else on the permutation; or
// either way for certain (to compare them). The layout is the same.
enum class PackedMethod { kChoose, kPermutation, kRanks };

// The canonical left-packed construction, whose layout saved files carry.
// Empty when it cannot finish on this input (identical points that overfill
// a leaf, split shifts that run away or wrap): the caller falls back, and
// `points` is then as it was. A tree is built from the points' own storage:
// they are reordered and their pages handed back. From `renumber_from`
// points on, the construction works on them numbered along a space-filling
// curve (SpatialNumbering); the layout is the same either way.
std::optional<ImmutableKdTree> build_packed_tree(PointColumns& points,
                                                 PackedBuildCounters* counters = nullptr,
                                                 std::size_t renumber_from = SpatialNumbering::kMinPoints,
                                                 PackedMethod method = PackedMethod::kChoose);
std::optional<ImmutableKdTree> build_packed_tree(std::span<const Point> points,
                                                 PackedMethod method = PackedMethod::kChoose);

// Puts every point into the leaf its descent through `stems` reaches, in
// ascending point order. Empty, with `points` untouched, when a descent ends
// at a leaf number not below `leaf_count` or in a leaf already holding 32;
// otherwise `points` is consumed as above.
std::optional<ImmutableKdTree> place_points(std::vector<double> stems, std::size_t leaf_count,
                                            PointColumns& points);

// Whether some point has more than `limit` (below 255) value-equal copies (-0.0 == 0.0;
// points with a NaN coordinate are never equal).
bool has_more_copies_than(const PointColumns& points, std::size_t limit);

// The first copy of every value-equal group of points without a NaN
// coordinate, in ascending order.
std::vector<std::uint32_t> distinct_first_copies(const PointColumns& points);

// A construction that succeeds on any input, in the packed layout's shape
// (the smallest stem count that holds `kept`, leaves filled from the left).
// It stores only `kept` (distinct points without NaN, ascending). Later
// copies of a point and NaN points can never be a query's answer (the
// earliest copy wins every tie, a NaN distance loses to every real one), so
// leaving them out changes no answer. A point equal to a split value may lie
// on either side of it, which the query's closed bounds allow. From
// `renumber_from` points on, the splits are found on the points numbered
// along a space-filling curve, as in the packed construction; `points` is
// as it was afterwards, and the tree the same either way.
ImmutableKdTree build_robust_tree(PointColumns& points, std::vector<std::uint32_t> kept,
                                  std::size_t renumber_from = SpatialNumbering::kMinPoints);

}  // namespace vicinor::kdtree::detail
