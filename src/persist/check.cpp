// Load-time checks. A saved file is outside input: the reader takes any
// well-formed record, but lookups index the text, the rows and the leaves
// with what the record says. Everything they rely on is checked here, once,
// so the lookups can stay free of per-query checks.
#include <bit>
#include <cstdint>
#include <string>

#include "common/text.hpp"
#include "geocoder/construction.hpp"
#include "persist/storage.hpp"

namespace vicinor::persist {
namespace {

Error invalid(const std::string& detail) { return Error("invalid saved geocoder: " + detail); }

std::string slice_text(std::size_t row, const StringSlice& slice) {
    return "row " + std::to_string(row) + " (offset " + std::to_string(slice.offset) + ", length " +
           std::to_string(slice.len) + ")";
}

// `csv` is valid UTF-8 (the reader checks that), so a position is on a
// character boundary unless it holds a continuation byte.
bool on_char_boundary(const std::string& text, std::uint64_t position) {
    return position == text.size() || !text::is_continuation_byte(text[position]);
}

// As construction cuts lines: a line starts the text or follows an LF, and
// ends the text or is followed by LF or CR LF. Whether LFs lie inside is not
// looked at: that would read the whole text at every load, and such a row
// still reads as the fields of its first line.
bool is_whole_line(const std::string& text, std::uint64_t begin, std::uint64_t length) {
    const std::uint64_t end = begin + length;
    if (begin != 0 && text[begin - 1] != '\n') return false;
    if (end == text.size() || text[end] == '\n') return true;
    return text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n';
}

Status check_slices(const ReverseGeocoder& geocoder) {
    const std::string& csv = geocoder.csv;
    for (std::size_t row = 0; row < geocoder.indexed_data.size(); ++row) {
        const StringSlice& slice = geocoder.indexed_data[row];
        // offset <= size first, so size - offset cannot wrap.
        if (slice.offset < 0 || static_cast<std::uint64_t>(slice.offset) > csv.size() ||
            slice.len > csv.size() - static_cast<std::uint64_t>(slice.offset)) {
            return invalid(slice_text(row, slice) + " lies outside the text of " +
                           std::to_string(csv.size()) + " bytes");
        }
        std::uint64_t begin = static_cast<std::uint64_t>(slice.offset);
        if (!on_char_boundary(csv, begin) || !on_char_boundary(csv, begin + slice.len)) {
            return invalid(slice_text(row, slice) + " splits a UTF-8 character");
        }
        // A slice cut short or long still lies inside the text, but would
        // read as a row with fields missing or merged.
        if (!is_whole_line(csv, begin, slice.len)) {
            return invalid(slice_text(row, slice) + " does not start and end where lines do");
        }
    }
    return {};
}

Status check_tree(const kdtree::ImmutableKdTree& tree, std::size_t rows) {
    std::uint64_t points = 0;
    for (std::size_t i = 0; i < tree.leaves.size(); ++i) {
        const kdtree::LeafNode& leaf = tree.leaves[i];
        if (leaf.size > kdtree::B) {
            return invalid("leaf " + std::to_string(i) + " claims " + std::to_string(leaf.size) +
                           " points, but a leaf holds at most " + std::to_string(kdtree::B));
        }
        for (std::size_t slot = 0; slot < leaf.size; ++slot) {
            if (leaf.content_items[slot] >= rows) {
                return invalid("leaf " + std::to_string(i) + " slot " + std::to_string(slot) +
                               " refers to row " + std::to_string(leaf.content_items[slot]) +
                               ", but there are only " + std::to_string(rows) + " rows");
            }
        }
        points += leaf.size;
    }
    // The query descends the stems and treats node number - stems as the
    // leaf, so every leaf needs a place below the stems and the heap must
    // be complete.
    if (!std::has_single_bit(tree.stems.size())) {
        return invalid("the tree has " + std::to_string(tree.stems.size()) +
                       " stems, which is not a power of two");
    }
    if (tree.stems.size() < tree.leaves.size()) {
        return invalid("the tree has " + std::to_string(tree.leaves.size()) + " leaves but only " +
                       std::to_string(tree.stems.size()) + " leaf positions");
    }
    // Fewer points than rows is fine: construction may leave some rows out
    // of the index.
    if (tree.size != points) {
        return invalid("the tree claims " + std::to_string(tree.size) + " points, but its leaves hold " +
                       std::to_string(points));
    }
    return {};
}

}  // namespace

Status check_loaded_geocoder(const ReverseGeocoder& geocoder) {
    if (Result<std::uint8_t> separator = table_separator(geocoder.value_sep); !separator) {
        return invalid("its value separator cannot read the table: " +
                       separator.error().message());
    }
    Status slices = check_slices(geocoder);
    if (!slices.ok()) return slices;
    return check_tree(geocoder.tree, geocoder.indexed_data.size());
}

}  // namespace vicinor::persist
