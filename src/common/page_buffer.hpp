// Zero-filled storage for large temporaries (construction's above all),
// taken from the operating system directly when it is large. Freeing it, or a consumed
// prefix of it, returns the pages at once: malloc would keep a freed block
// resident (its mmap threshold rises after every large free) and lift the
// peak of whatever construction allocates next.
#pragma once

#include <cstddef>
#include <type_traits>
#include <utility>

namespace vicinor {

class RawPages {
public:
    RawPages() = default;
    explicit RawPages(std::size_t bytes);  // throws std::bad_alloc
    RawPages(RawPages&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          bytes_(std::exchange(other.bytes_, 0)),
          mapped_(std::exchange(other.mapped_, false)) {}
    RawPages& operator=(RawPages&& other) noexcept {
        RawPages(std::move(other)).swap(*this);
        return *this;
    }
    ~RawPages();

    void swap(RawPages& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(bytes_, other.bytes_);
        std::swap(mapped_, other.mapped_);
    }

    void* data() const noexcept { return data_; }
    std::size_t bytes() const noexcept { return bytes_; }

    // Hands the whole pages inside [offset, offset + length) back; they read
    // as zero afterwards. A no-op where the storage came from malloc.
    void release(std::size_t offset, std::size_t length) noexcept;

private:
    void* data_ = nullptr;
    std::size_t bytes_ = 0;
    bool mapped_ = false;
};

// A fixed-size array of `count` zero values over RawPages.
template <class T>
class PageArray {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

public:
    PageArray() = default;
    explicit PageArray(std::size_t count) : pages_(count * sizeof(T)), count_(count) {}

    T* data() noexcept { return static_cast<T*>(pages_.data()); }
    const T* data() const noexcept { return static_cast<const T*>(pages_.data()); }
    std::size_t size() const noexcept { return count_; }
    T& operator[](std::size_t i) noexcept { return data()[i]; }
    const T& operator[](std::size_t i) const noexcept { return data()[i]; }

    // Entries [first, first + count) are no longer needed.
    void release(std::size_t first, std::size_t count) noexcept {
        pages_.release(first * sizeof(T), count * sizeof(T));
    }

private:
    RawPages pages_;
    std::size_t count_ = 0;
};

}  // namespace vicinor
