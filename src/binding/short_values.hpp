// Dict values of at most three ASCII bytes (country and region codes,
// flags) repeat across rows: a small per-geocoder table hands out the same
// immutable str again instead of allocating and freeing one per lookup.
// Like CPython's own one-character strings, sharing is invisible to callers
// but for identity.
#pragma once

#include "binding/python.hpp"

#include <cstdint>
#include <memory>
#include <string_view>

namespace vicinor::binding {

class ShortValues {
public:
    static constexpr std::size_t kMaxBytes = 3;

    ShortValues() = default;
    ShortValues(const ShortValues&) = delete;
    ShortValues& operator=(const ShortValues&) = delete;
    ~ShortValues();

    // A new reference to a str of `ascii` (at most kMaxBytes ASCII bytes),
    // or nullptr with the host's error set.
    PyObject* get(std::string_view ascii) noexcept;

private:
    struct Entry {
        std::uint32_t key = 0;
        PyObject* str = nullptr;
    };
    // 16 KB: enough for the codes of a world table, small beside its rows.
    static constexpr unsigned kIndexBits = 10;

    std::unique_ptr<Entry[]> entries_;
};

}  // namespace vicinor::binding
