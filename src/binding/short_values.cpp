#include "binding/short_values.hpp"

#include <cstring>
#include <new>

#include "binding/result_strings.hpp"

namespace vicinor::binding {

ShortValues::~ShortValues() {
    if (!entries_) return;
    for (std::size_t i = 0; i < (std::size_t{1} << kIndexBits); ++i) Py_XDECREF(entries_[i].str);
}

PyObject* ShortValues::get(std::string_view ascii) noexcept {
    // Zero and one characters are the host's own singletons already.
    if (ascii.size() <= 1 || ascii.size() > kMaxBytes) return new_ascii_str(ascii);
    if (!entries_) {
        entries_.reset(new (std::nothrow) Entry[std::size_t{1} << kIndexBits]);
        if (!entries_) return new_ascii_str(ascii);  // only slower without the table
    }
    // The length and the bytes name the value exactly.
    std::uint32_t key = static_cast<std::uint32_t>(ascii.size());
    for (std::size_t i = 0; i < ascii.size(); ++i) {
        key |= static_cast<std::uint32_t>(static_cast<unsigned char>(ascii[i])) << (8 * (i + 1));
    }
    Entry& entry = entries_[(key * 2654435761u) >> (32 - kIndexBits)];
    if (entry.str != nullptr && entry.key == key) {
        Py_INCREF(entry.str);
        return entry.str;
    }
    PyObject* str = new_ascii_str(ascii);
    if (str == nullptr) return nullptr;
    Py_XDECREF(entry.str);  // an str holds no references: freeing it runs no host code
    Py_INCREF(str);
    entry = {key, str};
    return str;
}

}  // namespace vicinor::binding
