// Batch drivers of the neighbour searches. Each thread takes a contiguous
// part of the queries with its own search scratch, so nothing is shared
// but the read-only record; nothing is allocated per query once the
// scratch has grown.
#include "geocoder/neighbour_batch.hpp"

#include <algorithm>
#include <cmath>
#include <exception>
#include <limits>

#include "common/parallel_parts.hpp"
#include "geocoder/construction.hpp"
#include "geocoder/lookup.hpp"
#include "geocoder/subset.hpp"
#include "kdtree/neighbours.hpp"
#include "kdtree/query.hpp"

namespace vicinor {
namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

// Queries are searched cell by cell of a cube map over directions, so that
// consecutive searches read the same leaves while they are in cache; only
// the order of the searches depends on it, never an answer. Queries are
// ordered a block at a time, so the working memory stays fixed.
constexpr std::size_t kOrderGrid = 128;  // cells per face side: about 80 km
constexpr std::size_t kOrderBlock = std::size_t{1} << 18;

class QueryOrder {
public:
    // Orders the queries [begin, end), at most kOrderBlock of them, by cell
    // (a counting sort; stable, so a cell's queries keep their order).
    void arrange(const BatchQuery& query, std::size_t begin, std::size_t end) {
        const std::size_t count = end - begin;
        points_.resize(count);
        cells_.resize(count);
        starts_.assign(6 * kOrderGrid * kOrderGrid + 1, 0);
        for (std::size_t i = 0; i < count; ++i) {
            points_[i] = lat_lon_to_point(query.lats[begin + i], query.lons[begin + i]);
            cells_[i] = static_cast<std::uint32_t>(kdtree::seed_cell(points_[i], kOrderGrid));
            ++starts_[cells_[i] + 1];
        }
        for (std::size_t c = 1; c < starts_.size(); ++c) starts_[c] += starts_[c - 1];
        order_.resize(count);
        for (std::size_t i = 0; i < count; ++i) {
            order_[starts_[cells_[i]]++] = static_cast<std::uint32_t>(i);
        }
    }
    // Positions within the block, in search order.
    const std::vector<std::uint32_t>& order() const noexcept { return order_; }
    const kdtree::Point& point(std::uint32_t at) const noexcept { return points_[at]; }

private:
    std::vector<kdtree::Point> points_;
    std::vector<std::uint32_t> cells_;
    std::vector<std::uint32_t> starts_;
    std::vector<std::uint32_t> order_;
};

// Column 0 as the single lookup gives it: the unique nearest when one
// is, else the one the nearest-one query's tie rule picks.
kdtree::Item first_answer(const ReverseGeocoder& geocoder, const kdtree::Point& point,
                          const std::vector<kdtree::Neighbour>& found) {
    if (found.size() < 2 || found[0].distance < found[1].distance) return found[0].item;
    return kdtree::nearest_one(geocoder.tree, geocoder.search_bounds, point).item;
}

// One point's row of the (n, k) results.
void write_k_rows(const ReverseGeocoder& geocoder, const kdtree::Point& point,
                  const std::vector<kdtree::Neighbour>& found, std::size_t k, double max_km,
                  std::int64_t* rows, double* km) {
    std::size_t filled = 0;
    if (!found.empty()) {
        const kdtree::Item answer = first_answer(geocoder, point, found);
        // The single lookup's answer is at the least distance: it heads the row.
        rows[0] = answer;
        km[0] = chord_to_km(found[0].distance);
        filled = 1;
        for (const kdtree::Neighbour& next : found) {
            if (filled == k) break;
            if (next.item == answer) continue;
            rows[filled] = next.item;
            km[filled] = chord_to_km(next.distance);
            ++filled;
        }
    }
    for (std::size_t j = 0; j < filled; ++j) {
        if (km[j] > max_km) rows[j] = kNoRow64;
    }
    for (std::size_t j = filled; j < k; ++j) {
        rows[j] = kNoRow64;
        km[j] = kInfinity;
    }
}

}  // namespace

void prepare_neighbours(ReverseGeocoder& geocoder) {
    const std::size_t row_count = geocoder.indexed_data.size();
    if (geocoder.tree.size >= row_count || !geocoder.unstored_copies.owner_bits.empty()) return;
    prepare_subsets(geocoder);
    std::vector<std::pair<kdtree::Item, kdtree::Item>> pairs;
    for (std::size_t row = 0; row < geocoder.row_positions.size(); ++row) {
        if (geocoder.row_positions[row] != kNoPosition) continue;
        Result<kdtree::Point> point = unstored_point(geocoder, static_cast<std::uint32_t>(row));
        // A point with a NaN coordinate is never an answer; one with no
        // coordinates left cannot be placed.
        if (!point) continue;
        const kdtree::Nearest twin = kdtree::nearest_one(geocoder.tree, *point);
        if (twin.found && twin.distance == 0.0) {
            pairs.emplace_back(twin.item, static_cast<kdtree::Item>(row));
        }
    }
    geocoder.unstored_copies = kdtree::ItemCopies::from_pairs(std::move(pairs), row_count);
}

Status nearest_k_rows(const ReverseGeocoder& geocoder, const BatchQuery& query, std::size_t k,
                      std::int64_t* rows, double* km) {
    if (Status places = require_places(geocoder); !places) return places;
    if (query.count == 0 || k == 0) return {};
    run_in_parts(query.count, useful_parts(query.count, query.threads),
                 [&](std::size_t, std::size_t begin, std::size_t end) {
        kdtree::NeighbourSearch search;
        std::vector<kdtree::Neighbour> found;
        found.reserve(k < 4096 ? k : 4096);
        QueryOrder order;
        for (std::size_t block = begin; block < end; block += kOrderBlock) {
            order.arrange(query, block, std::min(end, block + kOrderBlock));
            for (const std::uint32_t at : order.order()) {
                const kdtree::Point& point = order.point(at);
                search.search(geocoder.tree, geocoder.search_bounds, geocoder.unstored_copies,
                              point, k, kInfinity, found);
                write_k_rows(geocoder, point, found, k, query.max_km,
                             rows + (block + at) * k, km + (block + at) * k);
            }
        }
    });
    return {};
}

double squared_chord_cap(double km) noexcept {
    const double angle = km / EARTH_RADIUS_KM;
    if (!(angle < 3.14159)) return kInfinity;  // near or past the antipode: everything
    const double chord = 2.0 * std::sin(angle * 0.5);
    // Far more room than the rounding of chord_to_km needs.
    return chord * chord * (1.0 + 1e-9) + 1e-300;
}

Result<std::vector<RowsWithin>> rows_within(const ReverseGeocoder& geocoder, const BatchQuery& query,
                               double km, std::size_t limit, std::int64_t* offsets) {
    if (Status places = require_places(geocoder); !places) return std::move(places).error();
    offsets[0] = 0;
    const double cap = squared_chord_cap(km);
    std::vector<RowsWithin> shares(std::max<std::size_t>(1, query.threads));
    const std::size_t parts_used = useful_parts(query.count, query.threads, shares.size());
    run_in_parts(query.count, parts_used,
                 [&](std::size_t part, std::size_t begin, std::size_t end) {
        RowsWithin& share = shares[part];
        kdtree::NeighbourSearch search;
        std::vector<kdtree::Neighbour> found;
        QueryOrder order;
        std::vector<std::size_t> starts;
        RowsWithin block;
        for (std::size_t first = begin; first < end; first += kOrderBlock) {
            const std::size_t last = std::min(end, first + kOrderBlock);
            order.arrange(query, first, last);
            starts.resize(last - first);
            block.rows.clear();
            block.km.clear();
            for (const std::uint32_t at : order.order()) {
                search.search(geocoder.tree, geocoder.search_bounds, geocoder.unstored_copies,
                              order.point(at), limit, cap, found);
                starts[at] = block.rows.size();
                std::size_t count = 0;
                for (const kdtree::Neighbour& next : found) {
                    const double distance = chord_to_km(next.distance);
                    if (!(distance <= km)) continue;  // the cap has room to spare
                    block.rows.push_back(next.item);
                    block.km.push_back(distance);
                    ++count;
                }
                // Local counts for now; made running sums below.
                offsets[first + at + 1] = static_cast<std::int64_t>(count);
            }
            // Back into query order, appended to the part's results.
            for (std::size_t at = 0; at < last - first; ++at) {
                const auto from = static_cast<std::ptrdiff_t>(starts[at]);
                const auto count = static_cast<std::ptrdiff_t>(offsets[first + at + 1]);
                share.rows.insert(share.rows.end(), block.rows.begin() + from,
                                  block.rows.begin() + from + count);
                share.km.insert(share.km.end(), block.km.begin() + from,
                                block.km.begin() + from + count);
            }
        }
    });
    for (std::size_t i = 0; i < query.count; ++i) offsets[i + 1] += offsets[i];
    shares.resize(std::max<std::size_t>(1, parts_used));
    return shares;
}

}  // namespace vicinor
