// The k nearest rows, and every row within a distance, for whole columns
// of coordinates. Distances are great-circle kilometres from the squared
// chord, as nearest_rows reports them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/error.hpp"
#include "geocoder/batch.hpp"
#include "geocoder/record.hpp"

namespace vicinor {

// Finds, once, the rows the tree leaves out as copies of a stored point
// (geocoder.unstored_copies), so that searches for more than the nearest
// list them too. Their points come from their coordinates: a table stored
// without coordinates cannot have them found. Call before searches run on
// several threads: they only read the record.
void prepare_neighbours(ReverseGeocoder& geocoder);

// Row -1 marks "no such row": fewer rows than k, or (with max_km) a row
// farther than max_km. km holds +infinity where no row exists, and the
// distance where the row is only too far.
inline constexpr std::int64_t kNoRow64 = -1;

// Fills rows[i * k + j] and km[i * k + j]: column 0 is exactly the single
// lookup's answer, the others the next nearest by distance, then by row
// number. The coordinates must be finite and the lookup aids prepared, as
// for nearest_rows.
Status nearest_k_rows(const ReverseGeocoder& geocoder, const BatchQuery& query, std::size_t k,
                      std::int64_t* rows, double* km);

// Rows within a distance, in compressed form: the rows of point i are
// entries offsets[i] .. offsets[i + 1] - 1 of rows and km.
struct RowsWithin {
    std::vector<std::int64_t> rows;
    std::vector<double> km;
};

// The smallest squared chord beyond which no point is within `km` of the
// query, with room for rounding: the search's cap, before the exact test.
double squared_chord_cap(double km) noexcept;

// Every row at most `km` kilometres away (chord_to_km of its squared chord
// <= km), nearest first, ties by row number, at most `limit` per point
// (the nearest). Writes the per-point counts' running sums to offsets
// (query.count + 1 entries) and returns the entries in parts, one per
// thread, in query order: the caller concatenates them once, into its own
// arrays. Same preconditions as nearest_k_rows.
Result<std::vector<RowsWithin>> rows_within(const ReverseGeocoder& geocoder, const BatchQuery& query,
                               double km, std::size_t limit, std::int64_t* offsets);

}  // namespace vicinor
