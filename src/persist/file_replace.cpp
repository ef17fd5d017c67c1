#include "persist/file_replace.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string_view>
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

constexpr std::string_view kTempPrefix = ".vicinor-save-";
constexpr std::string_view kTempSuffix = ".tmp";

// The writing process's id is part of the name, so that a later save can
// tell a leftover of a killed save from the file of one still running.
std::string temp_name() {
    return std::string(kTempPrefix) + std::to_string(::getpid()) + "-" + temp_name_suffix() +
           std::string(kTempSuffix);
}

// The process id in a temporary file's name, if `name` is one.
std::optional<pid_t> temp_owner(std::string_view name) {
    if (!name.starts_with(kTempPrefix) || !name.ends_with(kTempSuffix)) return std::nullopt;
    name.remove_prefix(kTempPrefix.size());
    name.remove_suffix(kTempSuffix.size());
    const std::size_t dash = name.find('-');
    if (dash == 0 || dash > 9 || name.size() - dash - 1 != 16) return std::nullopt;
    pid_t pid = 0;
    for (char c : name.substr(0, dash)) {
        if (c < '0' || c > '9') return std::nullopt;
        pid = pid * 10 + (c - '0');
    }
    for (char c : name.substr(dash + 1)) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return std::nullopt;
    }
    return pid;
}

bool process_is_gone(pid_t pid) { return pid > 0 && ::kill(pid, 0) != 0 && errno == ESRCH; }

int open_retrying(const char* path, int flags, mode_t mode = 0) {
    return open_interruptible(path, flags, mode, kRetryInterrupted);
}

// Held until the file is renamed or closed: a save elsewhere that can take
// the lock knows the file's writer is gone, even where process ids of other
// machines or namespaces mean nothing. Where locks are unsupported the
// process id alone decides.
void mark_in_use(int fd) { [[maybe_unused]] int ignored = ::flock(fd, LOCK_EX | LOCK_NB); }

#if defined(O_TMPFILE)
// An unnamed file in `folder`, or -1 where the file system has none.
int open_unnamed(const std::string& folder) {
    return open_retrying(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
}
#else
int open_unnamed(const std::string&) { return -1; }
#endif

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

FileReplacement::FileReplacement(Kind kind, std::string target, std::string temp_path,
                                 FileDescriptor fd, const Interruption& interruption) noexcept
    : kind_(kind),
      target_(std::move(target)),
      temp_path_(std::move(temp_path)),
      fd_(std::move(fd)),
      sink_(fd_.get(), interruption) {}

FileReplacement::FileReplacement(FileReplacement&& other) noexcept
    : kind_(other.kind_),
      target_(std::move(other.target_)),
      temp_path_(std::exchange(other.temp_path_, std::string())),
      fd_(std::move(other.fd_)),
      sink_(other.sink_),
      committed_(std::exchange(other.committed_, true)),
      written_(other.written_) {}

FileReplacement::~FileReplacement() {
    if (committed_) return;
    // An unnamed file vanishes with its descriptor; a named one (also an
    // unnamed one that was just given a name) is removed.
    fd_ = FileDescriptor();
    if (!temp_path_.empty()) ::unlink(temp_path_.c_str());
}

Result<FileReplacement> FileReplacement::begin(const std::string& path,
                                               const Interruption& interruption,
                                               Temporary temporary) {
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
            // of a dangling link like an ordinary open would. Opening a FIFO
            // waits for a reader, so only a signal can end that wait.
            int fd = open_interruptible(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666,
                                        interruption);
            if (fd < 0) return os_error(errno);
            return FileReplacement(Kind::kDirect, path, std::string(), FileDescriptor(fd),
                                   interruption);
        }
    } else if (errno != ENOENT) {
        return os_error(errno);
    }

    // Replacing needs only the folder's permission, but a target the
    // caller may not write must stay protected, as an open for writing
    // would have kept it.
    if (existing && ::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) return os_error(errno);

    std::string folder = parent_folder(target);
    remove_abandoned_temporaries(folder);

    std::optional<FileReplacement> replacement;
    if (temporary == Temporary::kUnnamedWherePossible) {
        // Any failure falls back to a named file, whose error (a missing
        // folder, no permission) is the one reported.
        int fd = open_unnamed(folder);
        if (fd >= 0) {
            replacement.emplace(FileReplacement(Kind::kUnnamed, std::move(target), std::string(),
                                                FileDescriptor(fd), interruption));
        }
    }
    for (int attempt = 0; !replacement; ++attempt) {
        std::string temp_path = folder + "/" + temp_name();
        int fd = open_retrying(temp_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0) {
            if (errno == EEXIST && attempt < 100) continue;
            return os_error(errno);
        }
        replacement.emplace(FileReplacement(Kind::kNamed, std::move(target), std::move(temp_path),
                                            FileDescriptor(fd), interruption));
    }
    mark_in_use(replacement->fd_.get());
    if (existing) {
        Status adopted = adopt_metadata(replacement->fd_.get(), *existing);
        if (!adopted.ok()) return std::move(adopted).error();
    }
    return std::move(*replacement);
}

Status FileReplacement::finish_writing() {
    if (written_) return {};
    written_ = true;
    if (writes_directly()) {
        // Written in place: a regular file keeps no tail of longer old
        // content, which a load would silently ignore.
        struct stat info;
        if (::fstat(fd_.get(), &info) == 0 && S_ISREG(info.st_mode)) {
            const off_t end = ::lseek(fd_.get(), 0, SEEK_CUR);
            if (end >= 0 && end < info.st_size && ::ftruncate(fd_.get(), end) != 0) {
                return os_error(errno);
            }
        }
        return fd_.close();
    }
    int rc;
    do {
        rc = ::fsync(fd_.get());
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) return os_error(errno);
    // The unnamed file needs its descriptor until it has a name.
    if (writes_unnamed()) return {};
    return fd_.close();
}

// Links the unnamed file into the folder under a fresh temporary name.
Status FileReplacement::give_name() {
    const std::string folder = parent_folder(target_);
    const std::string by_descriptor = "/proc/self/fd/" + std::to_string(fd_.get());
    for (int attempt = 0;; ++attempt) {
        std::string temp_path = folder + "/" + temp_name();
        // Linking the descriptor itself needs a privilege; the /proc path
        // does the same for everyone where /proc is mounted.
        int rc = ::linkat(fd_.get(), "", AT_FDCWD, temp_path.c_str(), AT_EMPTY_PATH);
        if (rc != 0 && errno != EEXIST) {
            rc = ::linkat(AT_FDCWD, by_descriptor.c_str(), AT_FDCWD, temp_path.c_str(),
                          AT_SYMLINK_FOLLOW);
        }
        if (rc == 0) {
            temp_path_ = std::move(temp_path);
            return {};
        }
        if (errno != EEXIST || attempt >= 100) return os_error(errno);
    }
}

Status FileReplacement::commit() {
    if (writes_directly()) {
        Status written = finish_writing();
        committed_ = true;
        return written;
    }
    Status written = finish_writing();
    if (!written.ok()) return written;
    if (writes_unnamed()) {
        Status named = give_name();
        if (!named.ok()) return named;
    }
    if (::rename(temp_path_.c_str(), target_.c_str()) != 0) return os_error(errno);
    committed_ = true;
    // The content is on disk already: nothing a late close reports is lost.
    fd_ = FileDescriptor();
    // Makes the rename itself durable. The new content is complete either
    // way, so a folder that refuses fsync does not fail the save.
    int folder = open_retrying(parent_folder(target_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        ::fsync(folder);
        ::close(folder);
    }
    return {};
}

void remove_abandoned_temporaries(const std::string& folder) {
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) return;
    const pid_t self = ::getpid();
    while (const dirent* entry = ::readdir(dir)) {
        const std::optional<pid_t> owner = temp_owner(entry->d_name);
        if (!owner || *owner == self || !process_is_gone(*owner)) continue;
        const int fd = ::openat(::dirfd(dir), entry->d_name,
                                O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) continue;
        struct stat info;
        // A writer elsewhere (another machine on a shared folder) still
        // holds its lock.
        if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && ::flock(fd, LOCK_SH | LOCK_NB) == 0) {
            ::unlinkat(::dirfd(dir), entry->d_name, 0);
        }
        ::close(fd);
    }
    ::closedir(dir);
}

}  // namespace vicinor::persist
