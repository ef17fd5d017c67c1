// The rules of reference_build.cpp in the same words, on ranks (see
// rank_tables.hpp): a division is a cut, the ranks below it going left.
// Which points a chunk holds decides its division, not where they stand, so
// RankedChunks keeps each node's chunk as a sorted list and tells a node
// only which points entered or left it; a retry then costs what its moved
// points cost.
#include "kdtree/ranked_build.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>
#include <span>

#include "common/stop_check.hpp"
#include "kdtree/order_key.hpp"
#include "kdtree/ranked_chunks.hpp"

namespace vicinor::kdtree::detail {
namespace {

// The rules cannot finish.
struct Unfinished {};

class RankedBuild {
public:
    RankedBuild(const PointColumns& points, PackedBuildCounters& counters)
        : point_count_(points.size()), counters_(counters), chunks_(points, counters) {}

    RankedSplits run() {
        const std::size_t n = point_count_;
        std::size_t leaves = leaves_for(n);
        const std::size_t leaf_limit = std::max<std::size_t>(2 * leaves, 4);
        resize_stems(stems_for(leaves));
        const std::size_t stem_limit = 2 * stems_.size();
        // Work is counted in entries handed on, sorted or moved; past the
        // bound the permutation decides, so it tightens nothing.
        chunks_.set_budget(packed_work_bound(n, stems_.size()));
        RankedSplits out;
        try {
            for (std::size_t attempt = 1;; ++attempt) {
                counters_.attempts = attempt;
                stop_point();
                const std::size_t shift = split(1, 0, n, leaves * B);
                if (shift == 0) break;
                if (attempt == kMaxPackedAttempts) throw Unfinished{};
                leaves += leaves_for(shift);
                if (leaves > leaf_limit) throw Unfinished{};
                if (leaves > stems_.size()) {
                    if (stems_.size() >= stem_limit) throw Unfinished{};
                    double_stems(shift);
                }
            }
            if (leaves > stems_.size()) throw Unfinished{};
            out.outcome = RankedOutcome::kBuilt;
            out.splits = PackedSplits{stem_values(), leaves};
        } catch (const Unfinished&) {
            out.outcome = RankedOutcome::kUnbuildable;
        } catch (const RankedOutOfWork&) {
            out.outcome = RankedOutcome::kOutOfWork;
        }
        counters_.split_moves = split_moves_;
        return out;
    }

private:
    void resize_stems(std::size_t stem_count) {
        stems_.assign(stem_count, kUnsetRank);
        moves_.assign(stem_count, 0);
        chunks_.resize(stem_count);
    }

    void double_stems(std::size_t shift) {
        std::vector<std::size_t> moves = moves_after_doubling(moves_, shift);
        resize_stems(2 * stems_.size());
        moves_ = std::move(moves);
    }

    std::size_t target(std::size_t m, std::size_t node, std::size_t right_capacity) const {
        return split_target(m, node, moves_[node], right_capacity);
    }

    // 0 when the chunk of m points fits below `node`, else its shift.
    std::size_t split(std::size_t node, std::size_t dim, std::size_t m, std::size_t capacity) {
        if (m <= B) return 0;
        if (m > capacity) return m - capacity;
        if (node >= stems_.size()) throw Unfinished{};
        const bool changed = chunks_.arrive(node, dim, m);
        if (chunks_.answer_as_before(node, changed, capacity)) return chunks_.last_result(node);
        ++counters_.divisions;
        const std::size_t moves_before = split_moves_;
        const std::size_t result = divide(node, dim, m, capacity);
        chunks_.finish(node, capacity, result, split_moves_ == moves_before);
        return result;
    }

    std::size_t divide(std::size_t node, std::size_t dim, std::size_t m, std::size_t capacity) {
        const int height = std::countr_zero(stems_.size()) - std::bit_width(node);
        const std::size_t left_capacity = std::min(capacity, B << height);
        const std::size_t right_capacity = capacity - left_capacity;
        std::size_t p = target(m, node, right_capacity);
        if (p > m) throw Unfinished{};
        if (p < m) {
            p = chunks_.select(node, dim, p);
            chunks_.move_cut(node, p);
            stems_[node] = chunks_.rank_at(node, p);
        } else {
            chunks_.move_cut(node, m);
        }
        if (p <= B && m - p <= B) return 0;
        if (m - p > right_capacity) return (m - p) - right_capacity;
        const std::size_t child_dim = (dim + 1) % K;
        for (;;) {
            chunks_.enter_child(node, 0, dim);
            const std::size_t left_shift = split(2 * node, child_dim, p, left_capacity);
            if (left_shift == 0) {
                chunks_.enter_child(node, 1, dim);
                return split(2 * node + 1, child_dim, m - p, right_capacity);
            }
            if (left_shift > p) throw Unfinished{};
            p = chunks_.select(node, dim, p - left_shift);
            moves_[node] += left_shift;
            ++split_moves_;
            chunks_.move_cut(node, p);
            if (m - p > right_capacity) return (m - p) - right_capacity;
            stems_[node] = chunks_.rank_at(node, p);
        }
    }

    // The split values of the stems set: there are no NaN among ranked points.
    std::vector<double> stem_values() const {
        std::vector<double> values(stems_.size(), kUnsetStem);
        for (std::size_t node = 1; node < stems_.size(); ++node) {
            const std::size_t dim = static_cast<std::size_t>(std::bit_width(node) - 1) % K;
            if (stems_[node] != kUnsetRank) values[node] = chunks_.value(dim, stems_[node]);
        }
        return values;
    }

    const std::size_t point_count_;
    PackedBuildCounters& counters_;
    RankedChunks chunks_;
    // Per stem, the rank on its dimension of the point whose value it
    // splits at: only the values of the last attempt are looked up.
    static constexpr Rank kUnsetRank = std::numeric_limits<Rank>::max();
    std::vector<Rank> stems_;
    std::vector<std::size_t> moves_;  // per stem, how far its split moved left
    std::size_t split_moves_ = 0;
};

}  // namespace

bool values_repeat_often(const PointColumns& points) {
    // Pairs of equal values among s evenly spread points estimate how many
    // distinct values there are (about s^2 / 2 per pair). The last
    // dimension is a latitude's, which rounding repeats most. Retries grow
    // as that estimate falls towards the number of points; ranks start
    // paying a little before it gets there, so they are taken below 6/5 of
    // it, just short of where the two ways cost the same and a wrong guess
    // costs little either way.
    const std::size_t n = points.size();
    const std::size_t step = std::max<std::size_t>(n / kRepeatSample, 1);
    std::vector<OrderKey> sample;
    sample.reserve(n / step + 1);
    const std::span<const double> column = points.column(K - 1);
    for (std::size_t k = 0; k < n; k += step) sample.push_back(order_key(column[k]));
    std::sort(sample.begin(), sample.end());
    std::size_t pairs = 0, run = 1;
    for (std::size_t i = 1; i <= sample.size(); ++i) {
        if (i < sample.size() && sample[i] == sample[i - 1] && sample[i] != kNanKey) {
            ++run;
            continue;
        }
        pairs += run * (run - 1) / 2;
        run = 1;
    }
    // s^2 / (2 pairs) < 6 n / 5
    return pairs != 0 && 5 * sample.size() * sample.size() < 12 * pairs * n;
}

RankedSplits find_splits_by_rank(const PointColumns& points, PackedBuildCounters& counters) {
    return RankedBuild(points, counters).run();
}

}  // namespace vicinor::kdtree::detail
