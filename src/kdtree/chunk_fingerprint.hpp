// An order-independent fingerprint of a set of point numbers: the sums of a
// hash of each member and of its square. Sums let a part be added or taken away
// without visiting the rest, so the fingerprint of one side of a split
// follows from the other side's and the whole chunk's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

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

// The fingerprint of `count` point numbers. Construction sums a long
// stretch at every split, so wide-vector forms are picked where the CPU has
// them; integer arithmetic wraps the same way in each, so all agree exactly.
ChunkFingerprint fingerprint_of(const std::uint32_t* numbers, std::size_t count) noexcept;

// The forms this build has, for tests to compare with each other.
struct FingerprintForm {
    const char* name;
    ChunkFingerprint (*sum)(const std::uint32_t* numbers, std::size_t count) noexcept;
    bool supported;
};
std::span<const FingerprintForm> fingerprint_forms() noexcept;

}  // namespace vicinor::kdtree::detail
