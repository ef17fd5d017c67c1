// Writing a file so that a failed write never destroys what was there.
// A regular target (also one reached through symlinks) gets its new content
// in a temporary file in the same folder, which replaces the target by
// rename only once it is complete and on disk. Where the file system allows
// it the temporary file has no name until then, so a save killed while
// writing leaves nothing behind; elsewhere it is a hidden named file, and
// saves to the folder remove those whose writer is gone. A target that
// cannot be replaced that way (a FIFO, a device such as /dev/stdout, a
// symlink to nothing, /proc/self/fd/N) is written directly, and a regular
// file written so is cut to the new length.
#pragma once

#include <string>

#include "common/error.hpp"
#include "persist/file.hpp"

namespace vicinor::persist {

class FileReplacement {
public:
    enum class Temporary {
        kUnnamedWherePossible,
        kNamed,  // as where the file system has no unnamed files
    };

    static Result<FileReplacement> begin(const std::string& path,
                                         const Interruption& interruption = kRetryInterrupted,
                                         Temporary temporary = Temporary::kUnnamedWherePossible);

    FileReplacement(FileReplacement&& other) noexcept;
    FileReplacement& operator=(FileReplacement&&) = delete;
    // Abandons an uncommitted replacement: the temporary file is removed
    // and the target keeps its old content.
    ~FileReplacement();

    ByteSink& sink() noexcept { return sink_; }

    // Gets the written bytes to disk (or, written directly, cuts the file
    // to them). A failure here is a failed write (for example a full disk
    // noticed late).
    Status finish_writing();

    // Puts the new file in place of the target.
    Status commit();

    bool writes_directly() const noexcept { return kind_ == Kind::kDirect; }
    bool writes_unnamed() const noexcept { return kind_ == Kind::kUnnamed; }
    // The named temporary file; empty while it has no name.
    const std::string& temp_path() const noexcept { return temp_path_; }

private:
    enum class Kind { kDirect, kUnnamed, kNamed };

    FileReplacement(Kind kind, std::string target, std::string temp_path, FileDescriptor fd,
                    const Interruption& interruption) noexcept;
    Status give_name();

    Kind kind_;
    std::string target_;
    std::string temp_path_;
    FileDescriptor fd_;
    FileSink sink_;
    bool committed_ = false;
    bool written_ = false;
};

// Removes the temporary files that saves into `folder` left behind when
// they were killed: those whose writing process is gone. Files of running
// saves (this process's included) are kept.
void remove_abandoned_temporaries(const std::string& folder);

}  // namespace vicinor::persist
