#include "persist/file_replace.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <utility>

namespace vicinor::persist {
namespace {

std::string parent_folder(const std::string& path) {
    std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// Names only need to be unlikely to collide: O_EXCL makes creation safe
// even when they do, and a collision just costs another attempt.
std::string temp_name_suffix() {
    static std::atomic<std::uint64_t> counter{0};
    std::uint64_t x = static_cast<std::uint64_t>(
                          std::chrono::steady_clock::now().time_since_epoch().count()) ^
                      (static_cast<std::uint64_t>(::getpid()) << 32) ^
                      (counter.fetch_add(1) * 0x9E3779B97F4A7C15ULL);
    x ^= x >> 31;  // splitmix64 finaliser: spreads the bits of the inputs
    x *= 0xBF58476D1CE4E5B9ULL;
    x ^= x >> 27;
    x *= 0x94D049BB133111EBULL;
    x ^= x >> 31;
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(x));
    return text;
}

int open_retrying(const char* path, int flags, mode_t mode = 0) {
    int fd;
    do {
        fd = ::open(path, flags, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// A new file gets 0666 less the umask, as any newly created file would; an
// existing target's owner (where permitted) and permission bits carry over.
Status adopt_metadata(int fd, const struct stat& old) {
    if (old.st_uid != ::geteuid() || old.st_gid != ::getegid()) {
        // Only privileged users may give a file away; others keep their own.
        [[maybe_unused]] int ignored = ::fchown(fd, old.st_uid, old.st_gid);
    }
    if (::fchmod(fd, old.st_mode & 07777) != 0) return os_error(errno);
    return {};
}

}  // namespace

FileReplacement::FileReplacement(std::string target, std::string temp_path, FileDescriptor fd) noexcept
    : target_(std::move(target)), temp_path_(std::move(temp_path)), fd_(std::move(fd)), sink_(fd_.get()) {}

FileReplacement::FileReplacement(FileReplacement&& other) noexcept
    : target_(std::move(other.target_)),
      temp_path_(std::exchange(other.temp_path_, std::string())),
      fd_(std::move(other.fd_)),
      sink_(fd_.get()),
      committed_(std::exchange(other.committed_, true)) {}

FileReplacement::~FileReplacement() {
    if (committed_ || temp_path_.empty()) return;
    fd_ = FileDescriptor();
    ::unlink(temp_path_.c_str());
}

Result<FileReplacement> FileReplacement::begin(const std::string& path) {
    Status usable = check_path(path);
    if (!usable.ok()) return std::move(usable).error();
    // Names no file; without this the temporary file would be made in the
    // working folder before the rename fails.
    if (path.empty()) return os_error(ENOENT);

    std::string target = path;
    std::optional<struct stat> existing;
    struct stat entry;
    if (::lstat(path.c_str(), &entry) == 0) {
        if (S_ISREG(entry.st_mode)) {
            existing = entry;
        } else if (S_ISLNK(entry.st_mode)) {
            // Follow the links and replace the regular file at their end, so
            // the link itself stays a link. The inode comparison keeps out
            // links whose text is no usable path (such as /proc/self/fd/N
            // to a deleted file); those are written directly.
            struct stat followed;
            if (::stat(path.c_str(), &followed) == 0 && S_ISREG(followed.st_mode)) {
                if (char* real = ::realpath(path.c_str(), nullptr)) {
                    struct stat resolved;
                    if (::stat(real, &resolved) == 0 && resolved.st_dev == followed.st_dev &&
                        resolved.st_ino == followed.st_ino) {
                        target = real;
                        existing = followed;
                    }
                    std::free(real);
                }
            }
        }
        if (!existing) {
            // Not replaceable: write directly, creating the file at the end
            // of a dangling link like an ordinary open would.
            int fd = open_retrying(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
            if (fd < 0) return os_error(errno);
            return FileReplacement(path, std::string(), FileDescriptor(fd));
        }
    } else if (errno != ENOENT) {
        return os_error(errno);
    }

    // Replacing needs only the folder's permission, but a target the
    // caller may not write must stay protected, as an open for writing
    // would have kept it.
    if (existing && ::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) return os_error(errno);

    std::string folder = parent_folder(target);
    for (int attempt = 0;; ++attempt) {
        std::string temp_path = folder + "/.vicinor-save-" + temp_name_suffix() + ".tmp";
        int fd = open_retrying(temp_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0) {
            if (errno == EEXIST && attempt < 100) continue;
            return os_error(errno);
        }
        FileReplacement replacement(std::move(target), std::move(temp_path), FileDescriptor(fd));
        if (existing) {
            Status adopted = adopt_metadata(fd, *existing);
            if (!adopted.ok()) return std::move(adopted).error();
        }
        return replacement;
    }
}

Status FileReplacement::finish_writing() {
    if (!writes_directly()) {
        int rc;
        do {
            rc = ::fsync(fd_.get());
        } while (rc != 0 && errno == EINTR);
        if (rc != 0) return os_error(errno);
    }
    return fd_.close();
}

Status FileReplacement::commit() {
    if (writes_directly()) {
        committed_ = true;
        return fd_.close();
    }
    if (fd_.is_open()) {
        Status written = finish_writing();
        if (!written.ok()) return written;
    }
    if (::rename(temp_path_.c_str(), target_.c_str()) != 0) return os_error(errno);
    committed_ = true;
    // Makes the rename itself durable. The new content is complete either
    // way, so a folder that refuses fsync does not fail the save.
    int folder = open_retrying(parent_folder(target_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        ::fsync(folder);
        ::close(folder);
    }
    return {};
}

}  // namespace vicinor::persist
