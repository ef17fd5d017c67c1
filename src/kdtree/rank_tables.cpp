// Ranking: a sort by value per dimension, then the tables that turn a rank
// on one dimension into a rank on another without going through points.
#include "kdtree/rank_tables.hpp"

#include <algorithm>
#include <limits>
#include <numeric>
#include <span>

#include "common/stop_check.hpp"
#include "kdtree/order_key.hpp"

namespace vicinor::kdtree::detail {
namespace {

// Point numbers sorted by (key, number) on one dimension, and each point's
// key in `keys`.
std::vector<Rank> sorted_by_key(std::span<const double> column, std::vector<OrderKey>& keys) {
    const std::size_t n = column.size();
    keys.resize(n);
    for (std::size_t k = 0; k < n; ++k) keys[k] = order_key(column[k]);
    const auto before = [&](Rank a, Rank b) { return keys[a] < keys[b] || (keys[a] == keys[b] && a < b); };
    std::vector<Rank> order(n);
    const auto [low, high] = std::minmax_element(column.begin(), column.end());
    const double span = n == 0 ? 0.0 : *high - *low;
    const double scale = n < 2 ? 0.0 : static_cast<double>(n - 1) / span;
    const double most = std::numeric_limits<double>::max();
    if (!(span > 0.0 && span <= most && scale <= most)) {
        // One value, or a span no bucket width can measure.
        std::iota(order.begin(), order.end(), Rank{0});
        std::sort(order.begin(), order.end(), before);
        return order;
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
    struct Keyed {
        OrderKey key;
        Rank point;
    };
    std::vector<Keyed> keyed(n);
    {
        std::vector<Rank> next(start.begin(), start.end() - 1);
        for (Rank k = 0; k < n; ++k) keyed[next[bucket[k]]++] = {keys[k], k};
    }
    const auto by_key_then_point = [](const Keyed& a, const Keyed& b) {
        return a.key < b.key || (a.key == b.key && a.point < b.point);
    };
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
    for (std::size_t i = 0; i < n; ++i) order[i] = keyed[i].point;
    return order;
}

}  // namespace

RankTables::RankTables(const PointColumns& points) {
    std::vector<Rank> rank_of[K];   // per dimension, the rank of each point
    std::vector<Rank> point_at[K];  // per dimension, the point of each rank
    for (std::size_t d = 0; d < K; ++d) rank(points, d, rank_of[d], point_at[d]);
    const std::size_t n = points.size();
    for (std::size_t from = 0; from < K; ++from) {
        for (std::size_t to = 0; to < K; ++to) {
            if (from == to) continue;
            std::vector<Rank>& table = rank_on_[from][to];
            table.resize(n);
            for (Rank r = 0; r < n; ++r) table[r] = rank_of[to][point_at[from][r]];
        }
    }
}

// Sorts dimension d: each rank's point and value, and its run of equal
// values.
void RankTables::rank(const PointColumns& points, std::size_t d, std::vector<Rank>& rank_of,
                      std::vector<Rank>& point_at) {
    const std::size_t n = points.size();
    std::vector<OrderKey> keys;
    point_at = sorted_by_key(points.column(d), keys);
    rank_of.resize(n);
    run_start_[d].resize(n);
    value_at_[d].resize(n);
    OrderKey previous = kNanKey;
    Rank start = 0;
    for (Rank r = 0; r < n; ++r) {
        const Rank point = point_at[r];
        rank_of[point] = r;
        value_at_[d][r] = points.column(d)[point];
        const OrderKey key = keys[point];
        if (key == kNanKey || key != previous) start = r;
        run_start_[d][r] = start;
        previous = key;
    }
    stop_point();
}

}  // namespace vicinor::kdtree::detail
