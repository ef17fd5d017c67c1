// Byte sinks and sources for the saved-file codec, with buffering between
// the codec and the operating system. The codec only sees BufferedWriter and
// BufferedReader, so it works the same over files and memory buffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/error.hpp"

namespace vicinor::persist {

inline constexpr const char* kWriteZero = "failed to write whole buffer";
inline constexpr const char* kFillFailed = "failed to fill whole buffer";
inline constexpr const char* kUnexpectedEof = "unexpected end of file";

class ByteSink {
public:
    virtual ~ByteSink() = default;
    // Writes all `size` bytes or fails with the write error (for example
    // kWriteZero, or an OS message ending in " (os error N)").
    virtual Status write_all(const std::uint8_t* data, std::size_t size) = 0;
};

class ByteSource {
public:
    virtual ~ByteSource() = default;
    // Reads up to `size` bytes; 0 means end of input.
    virtual Result<std::size_t> read_some(std::uint8_t* data, std::size_t size) = 0;
    // How many bytes are still to come, where the source knows. Only a hint
    // for sizing a large payload once instead of growing it: reads still
    // report an input that turns out shorter.
    virtual std::optional<std::uint64_t> bytes_left() const noexcept { return std::nullopt; }
};

// Collects everything written into memory.
class MemorySink final : public ByteSink {
public:
    Status write_all(const std::uint8_t* data, std::size_t size) override {
        bytes_.insert(bytes_.end(), data, data + size);
        return {};
    }
    // Lets a caller that knows roughly how much is coming skip the regrowth.
    void reserve(std::size_t size) { bytes_.reserve(size); }
    const std::vector<std::uint8_t>& bytes() const noexcept { return bytes_; }
    std::vector<std::uint8_t> take() noexcept { return std::move(bytes_); }

private:
    std::vector<std::uint8_t> bytes_;
};

// Reads from a caller-owned memory span.
class MemorySource final : public ByteSource {
public:
    explicit MemorySource(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
    Result<std::size_t> read_some(std::uint8_t* data, std::size_t size) override {
        std::size_t n = std::min(size, bytes_.size() - position_);
        if (n != 0) std::memcpy(data, bytes_.data() + position_, n);
        position_ += n;
        return n;
    }
    std::size_t position() const noexcept { return position_; }
    std::optional<std::uint64_t> bytes_left() const noexcept override {
        return bytes_.size() - position_;
    }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t position_ = 0;
};

// Buffers small writes; the first sink error is kept and every later write
// is dropped, so the codec can check once per value instead of per byte.
class BufferedWriter {
public:
    explicit BufferedWriter(ByteSink& sink, std::size_t capacity = 1 << 16)
        : sink_(sink), buffer_(new std::uint8_t[capacity]), capacity_(capacity) {}

    bool failed() const noexcept { return !status_.ok(); }
    const Status& status() const noexcept { return status_; }

    void put(std::uint8_t byte) {
        if (used_ == capacity_ && !drain()) return;
        buffer_[used_++] = byte;
    }

    void write(const void* data, std::size_t size) {
        if (size <= capacity_ - used_) {
            std::memcpy(buffer_.get() + used_, data, size);
            used_ += size;
            return;
        }
        write_slow(static_cast<const std::uint8_t*>(data), size);
    }

    // Pushes buffered bytes to the sink; returns the first error seen.
    Status flush() {
        drain();
        return status_;
    }

private:
    bool drain() {
        if (failed()) return false;
        if (used_ != 0) {
            Status s = sink_.write_all(buffer_.get(), used_);
            used_ = 0;
            if (!s.ok()) {
                status_ = std::move(s);
                return false;
            }
        }
        return true;
    }
    void write_slow(const std::uint8_t* data, std::size_t size) {
        if (!drain()) return;
        if (size >= capacity_) {
            Status s = sink_.write_all(data, size);
            if (!s.ok()) status_ = std::move(s);
            return;
        }
        std::memcpy(buffer_.get(), data, size);
        used_ = size;
    }

    ByteSink& sink_;
    std::unique_ptr<std::uint8_t[]> buffer_;
    std::size_t capacity_;
    std::size_t used_ = 0;
    Status status_;
};

// Reads ahead from a source. Never consumes more of the source than the
// buffer holds, and reads exact counts with the end-of-input texts the
// decoder reports.
class BufferedReader {
public:
    explicit BufferedReader(ByteSource& source, std::size_t capacity = 1 << 16)
        : source_(source), buffer_(new std::uint8_t[capacity]), capacity_(capacity) {}

    // Exactly `size` bytes, or kFillFailed at end of input, or the source's
    // error. Used for markers, lengths and fixed-size numbers.
    Status read_exact(void* out, std::size_t size) {
        if (size <= end_ - pos_) {
            std::memcpy(out, buffer_.get() + pos_, size);
            pos_ += size;
            return {};
        }
        return read_slow(static_cast<std::uint8_t*>(out), size, kFillFailed);
    }

    // Like read_exact but for str/bin payloads: end of input is kUnexpectedEof.
    Status read_payload(void* out, std::size_t size) {
        if (size <= end_ - pos_) {
            std::memcpy(out, buffer_.get() + pos_, size);
            pos_ += size;
            return {};
        }
        return read_slow(static_cast<std::uint8_t*>(out), size, kUnexpectedEof);
    }

    // Bytes already buffered and not yet consumed; lets a decoder walk a run
    // of fixed-size values without a call per value.
    std::span<const std::uint8_t> buffered() const noexcept {
        return {buffer_.get() + pos_, end_ - pos_};
    }
    void consume(std::size_t size) noexcept { pos_ += size; }

    // Buffered bytes plus what the source knows is still to come.
    std::optional<std::uint64_t> bytes_left() const noexcept {
        const std::optional<std::uint64_t> unread = source_.bytes_left();
        if (!unread) return std::nullopt;
        return *unread + (end_ - pos_);
    }

    // Tries to make at least `size` bytes available in buffered() (fewer at
    // end of input). Fails only with a source error.
    Status fill(std::size_t size) {
        if (end_ - pos_ >= size) return {};
        if (pos_ != 0) {
            std::memmove(buffer_.get(), buffer_.get() + pos_, end_ - pos_);
            end_ -= pos_;
            pos_ = 0;
        }
        while (end_ < size && end_ < capacity_) {
            Result<std::size_t> got = source_.read_some(buffer_.get() + end_, capacity_ - end_);
            if (!got.ok()) return std::move(got).error();
            if (got.value() == 0) break;
            end_ += got.value();
        }
        return {};
    }

private:
    Status read_slow(std::uint8_t* out, std::size_t size, const char* eof_text) {
        std::size_t have = end_ - pos_;
        std::memcpy(out, buffer_.get() + pos_, have);
        pos_ = end_ = 0;
        out += have;
        size -= have;
        while (size != 0) {
            if (size >= capacity_) {
                Result<std::size_t> got = source_.read_some(out, size);
                if (!got.ok()) return std::move(got).error();
                if (got.value() == 0) return Error(eof_text);
                out += got.value();
                size -= got.value();
                continue;
            }
            Result<std::size_t> got = source_.read_some(buffer_.get(), capacity_);
            if (!got.ok()) return std::move(got).error();
            if (got.value() == 0) return Error(eof_text);
            end_ = got.value();
            std::size_t take = std::min(size, end_);
            std::memcpy(out, buffer_.get(), take);
            pos_ = take;
            out += take;
            size -= take;
        }
        return {};
    }

    ByteSource& source_;
    std::unique_ptr<std::uint8_t[]> buffer_;
    std::size_t capacity_;
    std::size_t pos_ = 0;
    std::size_t end_ = 0;
};

}  // namespace vicinor::persist
