// The POSIX file calls behind snapshots. Calls interrupted by a signal are
// repeated, descriptors are close-on-exec, and a failure becomes an Error
// (kind Snapshot) whose message is the system's text for it, such as
// "No such file or directory (os error 2)"; callers add their own prefix.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "core/result.h"
#include "storage/byte_buffer.h"

namespace quorbell {

// "<the system's description> (os error N)".
std::string system_error_text(int error_number);
Error system_error(int error_number);

// The same error with prefix in front of its message.
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

// open(2) with O_CLOEXEC added, repeated while interrupted; -1 with errno
// set on failure. The path must have passed check_path.
int open_descriptor(const std::string& path, int flags, mode_t mode);

// check_path, then open_descriptor.
Result<FileDescriptor> open_file(const std::string& path, int flags, mode_t mode = 0);

// Reads from the current position to the end of the file into one buffer,
// sized from the file's length up front when that is known.
Result<ByteBuffer> read_to_end(const FileDescriptor& file);

// Writes every byte, continuing after partial writes. A write that accepts
// nothing fails with zero_write_text.
Status write_all(const FileDescriptor& file, std::span<const std::uint8_t> bytes,
                 std::string_view zero_write_text);

// fsync(2), repeated while interrupted: 0, or the error number.
int sync_descriptor(int fd);
Status sync(const FileDescriptor& file);

}  // namespace quorbell
