// What a saved file can hold. The reader rejects anything outside these
// ranges, so saving checks them first rather than writing a file that
// would only fail later, at load.
#include <cstdint>
#include <string>

#include "persist/encode.hpp"

namespace vicinor::persist {
namespace {

constexpr std::uint64_t kMaxUnsigned = UINT32_MAX;
constexpr std::int64_t kMaxOffset = INT32_MAX;

Error too_large(const std::string& what, std::uint64_t value) {
    return Error("cannot save geocoder: " + what + " is " + std::to_string(value) +
                 ", but a saved file holds at most " + std::to_string(kMaxUnsigned));
}

}  // namespace

Status check_encodable(const ReverseGeocoder& geocoder) {
    // Lengths of str and array values are 32-bit in MessagePack.
    if (geocoder.csv.size() > kMaxUnsigned) return too_large("the text length", geocoder.csv.size());
    char32_t sep = geocoder.value_sep;
    if (sep > 0x10FFFF || (sep >= 0xD800 && sep <= 0xDFFF)) {
        return Error("cannot save geocoder: value separator " + std::to_string(sep) +
                     " is not a Unicode scalar value");
    }
    if (geocoder.columns.size() > kMaxUnsigned)
        return too_large("the number of columns", geocoder.columns.size());
    for (const std::string& name : geocoder.columns)
        if (name.size() > kMaxUnsigned) return too_large("a column name's length", name.size());

    const auto& slices = geocoder.indexed_data;
    if (slices.size() > kMaxUnsigned) return too_large("the number of rows", slices.size());
    for (std::size_t row = 0; row < slices.size(); ++row) {
        if (slices[row].offset > kMaxOffset || slices[row].offset < INT32_MIN) {
            return Error("cannot save geocoder: row " + std::to_string(row) + " starts at byte " +
                         std::to_string(slices[row].offset) +
                         ", but a saved file holds offsets from -2147483648 to 2147483647");
        }
        if (slices[row].len > kMaxUnsigned)
            return too_large("the length of row " + std::to_string(row), slices[row].len);
    }

    const auto& tree = geocoder.tree;
    if (tree.size > kMaxUnsigned) return too_large("the number of indexed points", tree.size);
    if (tree.leaves.size() > kMaxUnsigned) return too_large("the number of leaves", tree.leaves.size());
    if (tree.stems.size() > kMaxUnsigned) return too_large("the number of stems", tree.stems.size());
    // Leaf sizes and items are 32-bit in memory already.
    return {};
}

}  // namespace vicinor::persist
