// Points ranked on each dimension by (value, point number): the order in
// which the packed rules' full sort leaves a chunk. A run of equal values is
// then a run of consecutive ranks, and a chunk sorted on a dimension is an
// ascending list of ranks. Internal to the construction on ranks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "kdtree/point_columns.hpp"

namespace vicinor::kdtree::detail {

using Rank = std::uint32_t;

class RankTables {
public:
    // Ranks `points`, which hold no NaN and fewer than 2^31 points.
    explicit RankTables(const PointColumns& points);

    // The rank on dimension `to` of the point of rank `rank` on `from`, in
    // one read.
    Rank rank_on(std::size_t from, std::size_t to, Rank rank) const noexcept {
        return from == to ? rank : rank_on_[from][to][rank];
    }
    // The coordinate of the point of rank `rank` on `dim`.
    double value(std::size_t dim, Rank rank) const noexcept { return value_at_[dim][rank]; }
    // The first rank of the run of equal values that `rank` is in.
    Rank run_start(std::size_t dim, Rank rank) const noexcept { return run_start_[dim][rank]; }

private:
    void rank(const PointColumns& points, std::size_t dim, std::vector<Rank>& rank_of,
              std::vector<Rank>& point_at);

    std::vector<double> value_at_[K];
    std::vector<Rank> rank_on_[K][K];  // [from][to], from != to
    std::vector<Rank> run_start_[K];
};

}  // namespace vicinor::kdtree::detail
