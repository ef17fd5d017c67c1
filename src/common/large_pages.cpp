#include "common/large_pages.hpp"

#if defined(__linux__)
#include <sys/mman.h>
#endif

#if defined(__linux__) && defined(MADV_HUGEPAGE) && defined(MADV_NOHUGEPAGE)
#define VICINOR_HAVE_LARGE_PAGE_ADVICE 1
#endif

namespace vicinor {

AddressRange whole_large_pages(std::uintptr_t start, std::size_t bytes) noexcept {
    constexpr std::uintptr_t kMask = kLargePageBytes - 1;
    // Rounding up the start must not wrap either.
    if (start > UINTPTR_MAX - bytes || start > UINTPTR_MAX - kMask) return {};
    const std::uintptr_t first = (start + kMask) & ~kMask;
    const std::uintptr_t last = (start + bytes) & ~kMask;
    if (first >= last) return {};
    return {first, last};
}

LargePageAdvice::LargePageAdvice([[maybe_unused]] void* data,
                                 [[maybe_unused]] std::size_t bytes) noexcept {
#ifdef VICINOR_HAVE_LARGE_PAGE_ADVICE
    const AddressRange range = whole_large_pages(reinterpret_cast<std::uintptr_t>(data), bytes);
    if (range.begin == range.end) return;
    // Advice is only advice: a kernel without large pages refuses it, and
    // the buffer works the same.
    if (madvise(reinterpret_cast<void*>(range.begin), range.end - range.begin, MADV_HUGEPAGE) !=
        0) {
        return;
    }
    advised_ = range;
#endif
}

LargePageAdvice::~LargePageAdvice() {
#ifdef VICINOR_HAVE_LARGE_PAGE_ADVICE
    // Pages already made stay as they are; this only stops new ones.
    if (advised_.begin != advised_.end) {
        madvise(reinterpret_cast<void*>(advised_.begin), advised_.end - advised_.begin,
                MADV_NOHUGEPAGE);
    }
#endif
}

}  // namespace vicinor
