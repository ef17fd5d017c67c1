// An order-independent fingerprint of a set of point numbers: the sums of a
// hash of each member and of its square. Sums let a part be added or taken away
// without visiting the rest, so the fingerprint of one side of a split
// follows from the other side's and the whole chunk's.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vicinor::kdtree::detail {

struct ChunkFingerprint {
    std::uint64_t first = 0;
    std::uint64_t second = 0;

    friend bool operator==(const ChunkFingerprint&, const ChunkFingerprint&) = default;

    ChunkFingerprint& operator+=(const ChunkFingerprint& other) noexcept {
        first += other.first;
        second += other.second;
        return *this;
    }
    ChunkFingerprint& operator-=(const ChunkFingerprint& other) noexcept {
        first -= other.first;
        second -= other.second;
        return *this;
    }
    friend ChunkFingerprint operator-(ChunkFingerprint a, const ChunkFingerprint& b) noexcept {
        return a -= b;
    }
};

// A strong 64-bit finaliser: sums of plain point numbers would collide for
// every pair of sets with equal totals.
inline std::uint64_t mix_point_number(std::uint64_t x) noexcept {
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ULL;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebULL;
    x ^= x >> 31;
    return x;
}

inline ChunkFingerprint fingerprint_of(const std::uint32_t* numbers, std::size_t count) noexcept {
    ChunkFingerprint fp;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint64_t h = mix_point_number(numbers[i] + 0x9e3779b97f4a7c15ULL);
        fp.first += h;
        fp.second += h * h;
    }
    return fp;
}

}  // namespace vicinor::kdtree::detail
