// Points ranked on each dimension by (value, point number): the order in
// which the packed rules' full sort leaves a chunk. A run of equal values is
// then a run of consecutive ranks, and a chunk sorted on a dimension is an
// ascending list of ranks. Internal to the construction on ranks.
#pragma once

#include <bit>
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
    // The first rank of the run of equal values that `rank` is in. A bit
    // per rank marks the starts and stays in cache, where the table of
    // starts would be a miss; the table answers only for long runs.
    Rank run_start(std::size_t dim, Rank rank) const noexcept {
        const std::uint64_t* words = starts_[dim].data();
        std::size_t word = rank / 64;
        std::uint64_t bits = words[word] & (~std::uint64_t{0} >> (63 - rank % 64));
        for (int scanned = 0; bits == 0 && scanned < kRunWordsScanned && word > 0; ++scanned) {
            bits = words[--word];
        }
        if (bits == 0) return run_start_[dim][rank];
        return static_cast<Rank>(word * 64 + 63 - static_cast<std::size_t>(std::countl_zero(bits)));
    }

private:
    void rank(const PointColumns& points, std::size_t dim, std::vector<Rank>& rank_of);

    std::vector<double> value_at_[K];
    std::vector<Rank> rank_on_[K][K];  // [from][to], from != to
    static constexpr int kRunWordsScanned = 3;
    std::vector<Rank> run_start_[K];
    std::vector<std::uint64_t> starts_[K];  // a bit for each rank that starts a run
};

}  // namespace vicinor::kdtree::detail
