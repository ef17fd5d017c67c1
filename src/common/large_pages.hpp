// Large-page advice for a big buffer that is about to be written whole.
// Touching fresh memory costs a page fault per 4 KiB page; where the kernel
// backs a range with 2 MiB pages it costs one per 2 MiB, which halves the
// kernel's share of construction. Only whole large pages inside the buffer
// are advised, so no byte outside it becomes resident. The advice lasts as
// long as the guard: memory that the allocator later reuses for other
// blocks is left as it was found.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vicinor {

inline constexpr std::uintptr_t kLargePageBytes = std::uintptr_t{2} << 20;

// The whole large pages inside [start, start + bytes): begin == end when
// there are none.
struct AddressRange {
    std::uintptr_t begin = 0;
    std::uintptr_t end = 0;
};
AddressRange whole_large_pages(std::uintptr_t start, std::size_t bytes) noexcept;

class LargePageAdvice {
public:
    // [data, data + bytes) must be writable memory owned by the caller that
    // outlives the guard. Does nothing where the platform offers no advice.
    LargePageAdvice(void* data, std::size_t bytes) noexcept;
    LargePageAdvice(const LargePageAdvice&) = delete;
    LargePageAdvice& operator=(const LargePageAdvice&) = delete;
    ~LargePageAdvice();

private:
    AddressRange advised_;
};

}  // namespace vicinor
