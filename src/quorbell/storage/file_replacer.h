// Rewrites a file so that a failure never destroys what it held.
//
// A regular file, or a path where nothing exists yet, is replaced
// atomically: the new contents go to a temporary file in the same
// directory, which is synced and then renamed over the target, and the
// directory is synced so the rename itself is durable. Until the rename the
// old file is untouched; a failed or abandoned replacement removes its
// temporary file. A symlink is followed, so the link keeps pointing where it
// did and the file it names is replaced.
//
// Permissions: a replaced file keeps the permission bits of the file it
// replaces (owner, group and further links are not carried over: the new
// file belongs to the writing user and is a single link). A new file gets
// 0666 less the process's umask, as any newly created file. A target the
// caller may not write to is refused as an in-place write would be.
//
// Anything else (a FIFO, a device such as /dev/null, a directory) cannot be
// renamed over, so it is opened and truncated in place and written
// directly; for a directory that open fails with EISDIR.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "core/result.h"
#include "storage/file_io.h"

namespace quorbell {

class FileReplacer {
 public:
  // Opens the temporary file, or the target itself when it is written in
  // place. Nothing at the target changes yet, except that an in-place
  // target is truncated. `interrupted` is asked whenever a signal
  // interrupts a call and after every write.
  static Result<FileReplacer> begin(const std::string& path, InterruptionCheck interrupted);

  FileReplacer(FileReplacer&& other) noexcept
      : file_(std::move(other.file_)),
        target_(std::move(other.target_)),
        temporary_(std::exchange(other.temporary_, std::nullopt)),
        interrupted_(other.interrupted_),
        written_(other.written_) {}
  FileReplacer& operator=(FileReplacer&&) = delete;
  ~FileReplacer();

  // Appends bytes to the new contents.
  Status write(std::span<const std::uint8_t> bytes);
  // Puts the written contents in place. After any failure, of this or of
  // write, the target still holds its old contents (unless written in
  // place) and the temporary file is gone once the replacer is dropped.
  Status commit();

 private:
  FileReplacer(FileDescriptor file, std::string target, std::optional<std::string> temporary,
               InterruptionCheck interrupted)
      : file_(std::move(file)),
        target_(std::move(target)),
        temporary_(std::move(temporary)),
        interrupted_(interrupted) {}

  FileDescriptor file_;
  std::string target_;                    // the file that ends up with the bytes
  std::optional<std::string> temporary_;  // absent when written in place
  InterruptionCheck interrupted_;
  std::size_t written_ = 0;
};

}  // namespace quorbell
