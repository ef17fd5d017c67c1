// Writing a file so that a failed write never destroys what was there.
// A regular target (also one reached through symlinks) gets its new content
// in a fresh temporary file in the same folder, which replaces the target
// by rename only once it is complete and on disk. A target that cannot be
// replaced that way (a FIFO, a device such as /dev/stdout, a symlink to
// nothing) is written directly, without truncation.
#pragma once

#include <string>

#include "common/error.hpp"
#include "persist/file.hpp"

namespace vicinor::persist {

class FileReplacement {
public:
    static Result<FileReplacement> begin(const std::string& path);

    FileReplacement(FileReplacement&& other) noexcept;
    FileReplacement& operator=(FileReplacement&&) = delete;
    // Abandons an uncommitted replacement: the temporary file is removed
    // and the target keeps its old content.
    ~FileReplacement();

    ByteSink& sink() noexcept { return sink_; }

    // Gets the written bytes to disk and closes the file. A failure here is
    // a failed write (for example a full disk noticed late).
    Status finish_writing();

    // Puts the new file in place of the target.
    Status commit();

    bool writes_directly() const noexcept { return temp_path_.empty(); }
    const std::string& temp_path() const noexcept { return temp_path_; }

private:
    FileReplacement(std::string target, std::string temp_path, FileDescriptor fd) noexcept;

    std::string target_;
    std::string temp_path_;  // empty when writing directly
    FileDescriptor fd_;
    FileSink sink_;
    bool committed_ = false;
};

}  // namespace vicinor::persist
