// Ranking: a sort by value per dimension, then the tables that turn a rank
// on one dimension into a rank on another without going through points.
#include "kdtree/rank_tables.hpp"

#include <algorithm>
#include <limits>
#include <span>

#include "common/stop_check.hpp"
#include "kdtree/order_key.hpp"

namespace vicinor::kdtree::detail {
namespace {

struct Keyed {
    OrderKey key;
    Rank point;
};

// The points of one dimension with their keys, sorted by (key, number).
std::vector<Keyed> sorted_by_key(std::span<const double> column) {
    const std::size_t n = column.size();
    std::vector<Keyed> keyed(n);
    const auto by_key_then_point = [](const Keyed& a, const Keyed& b) {
        return a.key < b.key || (a.key == b.key && a.point < b.point);
    };
    const auto [low, high] = std::minmax_element(column.begin(), column.end());
    const double span = n == 0 ? 0.0 : *high - *low;
    const double scale = n < 2 ? 0.0 : static_cast<double>(n - 1) / span;
    const double most = std::numeric_limits<double>::max();
    if (!(span > 0.0 && span <= most && scale <= most)) {
        // One value, or a span no bucket width can measure.
        for (Rank k = 0; k < n; ++k) keyed[k] = {order_key(column[k]), k};
        std::sort(keyed.begin(), keyed.end(), by_key_then_point);
        return keyed;
    }
    // Buckets of equal width in value, about one point each; the rounding
    // of the bucket number never reverses the order of two values. Each
    // point goes in with its key, so that a bucket sorts without reading
    // elsewhere, and in ascending numbers, so that equal keys stay in order.
    std::vector<Rank> bucket(n);
    std::vector<Rank> start(n + 1, 0);
    for (std::size_t k = 0; k < n; ++k) {
        const double at = (column[k] - *low) * scale;
        bucket[k] = static_cast<Rank>(std::min(at, static_cast<double>(n - 1)));
        ++start[bucket[k] + 1];
    }
    for (std::size_t b = 0; b < n; ++b) start[b + 1] += start[b];
    {
        std::vector<Rank> next(start.begin(), start.end() - 1);
        for (Rank k = 0; k < n; ++k) keyed[next[bucket[k]]++] = {order_key(column[k]), k};
    }
    for (std::size_t b = 0; b < n; ++b) {
        Keyed* first = keyed.data() + start[b];
        Keyed* last = keyed.data() + start[b + 1];
        if (last - first <= 1) continue;
        if (last - first > 32) {
            std::sort(first, last, by_key_then_point);
            continue;
        }
        for (Keyed* at = first + 1; at < last; ++at) {  // stable: equal keys keep their order
            const Keyed entry = *at;
            Keyed* to = at;
            for (; to > first && to[-1].key > entry.key; --to) *to = to[-1];
            *to = entry;
        }
    }
    return keyed;
}

}  // namespace

RankTables::RankTables(const PointColumns& points) {
    std::vector<Rank> rank_of[K];  // per dimension, the rank of each point
    for (std::size_t d = 0; d < K; ++d) rank(points, d, rank_of[d]);
    const std::size_t n = points.size();
    for (std::size_t from = 0; from < K; ++from) {
        for (std::size_t to = 0; to < K; ++to) {
            if (from != to) rank_on_[from][to].resize(n);
        }
    }
    // Point by point, so that the ranks are read in order and only the
    // writes land at random.
    for (std::size_t point = 0; point < n; ++point) {
        for (std::size_t from = 0; from < K; ++from) {
            for (std::size_t to = 0; to < K; ++to) {
                if (from != to) rank_on_[from][to][rank_of[from][point]] = rank_of[to][point];
            }
        }
    }
}

// Sorts dimension d: each point's rank, each rank's value and its run of
// equal values.
void RankTables::rank(const PointColumns& points, std::size_t d, std::vector<Rank>& rank_of) {
    const std::size_t n = points.size();
    const std::vector<Keyed> sorted = sorted_by_key(points.column(d));
    rank_of.resize(n);
    run_start_[d].resize(n);
    starts_[d].assign(n / 64 + 1, 0);
    value_at_[d].resize(n);
    const OrderKey zero_key = order_key(0.0);  // -0.0's too
    OrderKey previous = kNanKey;
    Rank start = 0;
    for (Rank r = 0; r < n; ++r) {
        const Rank point = sorted[r].point;
        const OrderKey key = sorted[r].key;
        rank_of[point] = r;
        // A key gives back its double, except that -0.0 and +0.0 share one.
        value_at_[d][r] = key == zero_key || key == kNanKey ? points.column(d)[point] : key_value(key);
        if (key == kNanKey || key != previous) {
            start = r;
            starts_[d][r / 64] |= std::uint64_t{1} << (r % 64);
        }
        run_start_[d][r] = start;
        previous = key;
    }
    stop_point();
}

}  // namespace vicinor::kdtree::detail
