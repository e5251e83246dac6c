// The POSIX file calls behind snapshots. A call interrupted by a signal
// asks an InterruptionCheck whether to try again or give up, descriptors
// are close-on-exec, and a failure becomes an Error (kind Snapshot) whose
// message is the system's text for it, such as "No such file or directory
// (os error 2)"; callers add their own prefix.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "core/result.h"
#include "storage/wire.h"

namespace quorbell {

// "<the system's description> (os error N)".
std::string system_error_text(int error_number);
Error system_error(int error_number);

// The same error with prefix in front of its message; an interruption,
// which has no message of its own, stays as it is.
Error with_prefix(std::string_view prefix, const Error& error);

// Owns an open descriptor and closes it when dropped.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  FileDescriptor& operator=(FileDescriptor&&) = delete;
  ~FileDescriptor();

  int get() const { return fd_; }
  // Closes now and reports a failure, which a write-back may only reveal here.
  Status close();

 private:
  int fd_;
};

// Refuses a path holding a NUL byte, which no system call could be given.
Status check_path(const std::string& path);

// open(2) with O_CLOEXEC added: the descriptor, or -1 with errno set. Fails
// only when `interrupted` abandons an open that a signal interrupted (one
// that waits for the other end of a FIFO, say). The path must have passed
// check_path.
Result<int> open_descriptor(const std::string& path, int flags, mode_t mode, InterruptionCheck interrupted);

// check_path, then open_descriptor.
Result<FileDescriptor> open_file(const std::string& path, int flags, mode_t mode, InterruptionCheck interrupted);

// A file read from its current position piece by piece, as a decoder's
// source. `interrupted` is also asked after every piece.
class FileSource final : public ByteSource {
 public:
  FileSource(const FileDescriptor& file, InterruptionCheck interrupted);
  std::optional<std::size_t> read(std::span<std::uint8_t> into) override;
  // Known for a regular file: its length when opened, less what was read.
  std::optional<std::uint64_t> bytes_left() const override;
  // How reading went: an error once read has returned nullopt, and why.
  const Status& read_status() const { return read_status_; }

 private:
  int fd_;
  InterruptionCheck interrupted_;
  std::optional<std::uint64_t> size_;
  std::uint64_t consumed_ = 0;
  Status read_status_;
};

// Writes every byte, continuing after partial writes, and asks
// `interrupted` after every write. A write that accepts nothing fails with
// zero_write_text.
Status write_all(const FileDescriptor& file, std::span<const std::uint8_t> bytes, std::string_view zero_write_text,
                 InterruptionCheck interrupted);

// fsync(2), repeated while interrupted: 0, or the error number.
int sync_descriptor(int fd);
Status sync(const FileDescriptor& file);

}  // namespace quorbell
