// POSIX file access for saving and loading: an owning descriptor, byte
// sinks and sources over it, and the OS error texts callers see.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include <sys/types.h>

#include "common/error.hpp"
#include "persist/byte_stream.hpp"

namespace vicinor::persist {

// The OS text for `code`, trailing white space removed, then " (os error N)".
Error os_error(int code);

// Fails for paths the OS cannot take (an embedded NUL would silently cut
// the path short and name a different file).
Status check_path(const std::string& path);

// Owns one open descriptor and closes it on every way out of a call.
class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor();

    int get() const noexcept { return fd_; }
    bool is_open() const noexcept { return fd_ >= 0; }
    int release() noexcept {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes now and reports the error: for written files a failed close
    // can be the first sign of lost data.
    Status close();

private:
    int fd_ = -1;
};

// What a blocking call does when a signal interrupts it. A call that waits
// on a FIFO or a stalled network file system can only be stopped by a
// signal, so the caller gets the chance to run its handlers; if they ask
// for the call to stop, it fails with the interrupted-call error. Without a
// hook interrupted calls are simply retried.
class Interruption {
public:
    // Returns false to stop the interrupted call.
    using Hook = bool (*)(void* context);

    Interruption() = default;
    Interruption(Hook hook, void* context) noexcept : hook_(hook), context_(context) {}

    // Ok: retry the call. Called only after EINTR.
    Status after_signal() const;

private:
    Hook hook_ = nullptr;
    void* context_ = nullptr;
};

inline const Interruption kRetryInterrupted{};

// open(2) with interrupted calls handled as `interruption` says; -1 with
// errno set on failure.
int open_interruptible(const char* path, int flags, mode_t mode, const Interruption& interruption);

// Opens an existing file for reading.
Result<FileDescriptor> open_for_load(const std::string& path,
                                     const Interruption& interruption = kRetryInterrupted);

// Writes whole buffers, continuing after short and interrupted writes.
class FileSink final : public ByteSink {
public:
    explicit FileSink(int fd, const Interruption& interruption = kRetryInterrupted) noexcept
        : fd_(fd), interruption_(&interruption) {}
    Status write_all(const std::uint8_t* data, std::size_t size) override;

private:
    int fd_;
    const Interruption* interruption_;
};

// Reads with interrupted reads retried.
class FileSource final : public ByteSource {
public:
    explicit FileSource(int fd, const Interruption& interruption = kRetryInterrupted) noexcept
        : fd_(fd), interruption_(&interruption) {}
    Result<std::size_t> read_some(std::uint8_t* data, std::size_t size) override;
    // Known for a regular file: its size past the current offset.
    std::optional<std::uint64_t> bytes_left() const noexcept override;

private:
    int fd_;
    const Interruption* interruption_;
};

}  // namespace vicinor::persist
