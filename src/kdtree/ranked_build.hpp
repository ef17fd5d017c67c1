// The left-packed rules run on ranks instead of a permutation. Which points
// a chunk holds decides its division; where they stand does not. So every
// node keeps its chunk as a sorted list of ranks in its own dimension, and
// a retry hands it only the points that entered or left since its last
// call: an attempt then costs what its moved points cost, wherever in the
// tree a split moved.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "kdtree/build_parts.hpp"
#include "kdtree/point_columns.hpp"
#include "kdtree/spatial_numbering.hpp"

namespace vicinor::kdtree::detail {

// The stems of the final attempt and the leaves it fills.
struct PackedSplits {
    std::vector<double> stems;
    std::size_t leaf_count = 0;
};

enum class RankedOutcome {
    kBuilt,       // `splits` holds the layout
    kUnbuildable,  // the rules cannot finish on these points
    kOutOfWork,   // gave up within its own bound; the rules may still finish
};

struct RankedSplits {
    RankedOutcome outcome = RankedOutcome::kOutOfWork;
    PackedSplits splits;
};

// Ranks cost 4 bytes a point for each level of the tree and read all over
// their tables; from the size at which the permutation-based construction
// numbers points along a curve to keep its reads close, it is the quicker.
inline constexpr std::size_t kMaxRankedPoints = SpatialNumbering::kMinPoints;

// Whether the points' coordinate values repeat so often that the rules will
// retry many times; only then is ranking them worth its price, for without
// retries the permutation-based construction starts quicker. An estimate
// from a sample of about kRepeatSample points: fewer distinct latitudes
// than 6/5 of the points.
inline constexpr std::size_t kRepeatSample = 8192;
bool values_repeat_often(const PointColumns& points);

// The splits of the packed layout, found on ranks. Points with a NaN
// coordinate are not for this construction: which copy of a NaN lands at a
// split follows the arrangement, not the set. Ranks are 31-bit: at most
// kMaxRankedPoints points.
RankedSplits find_splits_by_rank(const PointColumns& points, PackedBuildCounters& counters);

}  // namespace vicinor::kdtree::detail
