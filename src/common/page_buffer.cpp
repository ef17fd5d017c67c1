#include "common/page_buffer.hpp"

#include <cstdint>
#include <cstdlib>
#include <new>


// Under AddressSanitizer the storage comes from malloc, whose blocks it
// guards: a read past a mapping would go unnoticed.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VICINOR_PAGES_FROM_MALLOC 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define VICINOR_PAGES_FROM_MALLOC 1
#endif

#if (defined(__unix__) || defined(__APPLE__)) && !defined(VICINOR_PAGES_FROM_MALLOC)
#include <sys/mman.h>
#include <unistd.h>
#define VICINOR_HAVE_MMAP 1
#endif

namespace vicinor {
namespace {

#ifdef VICINOR_HAVE_MMAP
// Below this, malloc's own pool serves as well and wastes no page rounding.
constexpr std::size_t kMapThreshold = std::size_t{64} << 10;

// Construction fills these arrays whole, so their pages are made in one go
// where the kernel offers it: a fault per page on first touch costs about
// twice as much.
#ifdef MAP_POPULATE
constexpr int kPopulate = MAP_POPULATE;
#else
constexpr int kPopulate = 0;
#endif

std::size_t page_size() noexcept {
    static const std::size_t size = [] {
        const long value = sysconf(_SC_PAGESIZE);
        return value > 0 ? static_cast<std::size_t>(value) : std::size_t{4096};
    }();
    return size;
}
#endif

}  // namespace

RawPages::RawPages(std::size_t bytes) : bytes_(bytes) {
    if (bytes == 0) return;
#ifdef VICINOR_HAVE_MMAP
    if (bytes >= kMapThreshold) {
        void* mapped = mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                            MAP_PRIVATE | MAP_ANONYMOUS | kPopulate, -1, 0);
        if (mapped == MAP_FAILED) throw std::bad_alloc();
        data_ = mapped;
        mapped_ = true;
        return;
    }
#endif
    data_ = std::calloc(bytes, 1);
    if (data_ == nullptr) throw std::bad_alloc();
}

RawPages::~RawPages() {
    if (data_ == nullptr) return;
#ifdef VICINOR_HAVE_MMAP
    if (mapped_) {
        munmap(data_, bytes_);
        return;
    }
#endif
    std::free(data_);
}

void RawPages::release([[maybe_unused]] std::size_t offset,
                       [[maybe_unused]] std::size_t length) noexcept {
#ifdef VICINOR_HAVE_MMAP
    if (!mapped_ || length == 0 || offset >= bytes_) return;
    const std::size_t page = page_size();
    const std::size_t end = offset + length < bytes_ ? offset + length : bytes_;
    const std::size_t first = (offset + page - 1) / page * page;
    const std::size_t last = end == bytes_ ? end : end / page * page;  // the tail page is ours
    if (first >= last) return;
    madvise(static_cast<char*>(data_) + first, last - first, MADV_DONTNEED);
#endif
}

}  // namespace vicinor
