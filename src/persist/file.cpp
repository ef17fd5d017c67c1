#include "persist/file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/compatibility_texts.hpp"

namespace vicinor::persist {
namespace {

// Large requests are split: some systems reject single transfers above
// 2 GiB, and Linux caps them anyway.
constexpr std::size_t kMaxTransfer = std::size_t{1} << 30;

// strerror_r comes in a GNU form (returns the text) and a POSIX form
// (returns a status); these overloads accept either.
[[maybe_unused]] const char* strerror_text(int status, const char* buffer) {
    return status == 0 ? buffer : nullptr;
}
[[maybe_unused]] const char* strerror_text(const char* text, const char*) { return text; }

}  // namespace

Error os_error(int code) {
    char buffer[256] = {};
    const char* text = strerror_text(strerror_r(code, buffer, sizeof buffer), buffer);
    std::string message = text != nullptr && *text != '\0' ? text : "Unknown error " + std::to_string(code);
    while (!message.empty() && std::strchr(" \t\r\n", message.back()) != nullptr) message.pop_back();
    return Error(message + " (os error " + std::to_string(code) + ")");
}

Status check_path(const std::string& path) {
    if (path.find('\0') != std::string::npos) return Error(compat::kPathHasNul);
    return {};
}

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = other.release();
    }
    return *this;
}

FileDescriptor::~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
}

Status FileDescriptor::close() {
    if (fd_ < 0) return {};
    // Linux releases the descriptor even when close fails (EINTR included),
    // so it is never retried.
    int rc = ::close(release());
    if (rc != 0 && errno != EINTR) return os_error(errno);
    return {};
}

Status Interruption::after_signal() const {
    if (hook_ != nullptr && !hook_(context_)) return os_error(EINTR);
    return {};
}

int open_interruptible(const char* path, int flags, mode_t mode, const Interruption& interruption) {
    for (;;) {
        int fd = ::open(path, flags, mode);
        if (fd >= 0 || errno != EINTR) return fd;
        if (!interruption.after_signal().ok()) {
            errno = EINTR;
            return -1;
        }
    }
}

Result<FileDescriptor> open_for_load(const std::string& path, const Interruption& interruption) {
    Status usable = check_path(path);
    if (!usable.ok()) return std::move(usable).error();
    int fd = open_interruptible(path.c_str(), O_RDONLY | O_CLOEXEC, 0, interruption);
    if (fd < 0) return os_error(errno);
    return FileDescriptor(fd);
}

Status FileSink::write_all(const std::uint8_t* data, std::size_t size) {
    while (size != 0) {
        ssize_t n = ::write(fd_, data, std::min(size, kMaxTransfer));
        if (n < 0) {
            if (errno != EINTR) return os_error(errno);
            if (Status go_on = interruption_->after_signal(); !go_on.ok()) return go_on;
            continue;
        }
        if (n == 0) return Error(kWriteZero);
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return {};
}

std::optional<std::uint64_t> FileSource::bytes_left() const noexcept {
    struct stat info {};
    if (::fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
    const off_t offset = ::lseek(fd_, 0, SEEK_CUR);
    if (offset < 0 || offset > info.st_size) return std::nullopt;
    return static_cast<std::uint64_t>(info.st_size - offset);
}

Result<std::size_t> FileSource::read_some(std::uint8_t* data, std::size_t size) {
    for (;;) {
        ssize_t n = ::read(fd_, data, std::min(size, kMaxTransfer));
        if (n >= 0) return static_cast<std::size_t>(n);
        if (errno != EINTR) return os_error(errno);
        if (Status go_on = interruption_->after_signal(); !go_on.ok()) return std::move(go_on).error();
    }
}

}  // namespace vicinor::persist
