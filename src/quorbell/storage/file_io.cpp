#include "storage/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/fixed_texts.h"

namespace quorbell {

namespace {

// strerror_r comes in two shapes (GNU returns the text, XSI fills the
// buffer); these overloads accept either.
[[maybe_unused]] const char* strerror_result(const char* text, const char*) { return text; }
[[maybe_unused]] const char* strerror_result(int failed, const char* buffer) {
  return failed == 0 ? buffer : "Unknown error";
}

}  // namespace

std::string system_error_text(int error_number) {
  char buffer[256] = {};
  const char* text = strerror_result(strerror_r(error_number, buffer, sizeof buffer), buffer);
  return std::string(text) + " (os error " + std::to_string(error_number) + ")";
}

Error system_error(int error_number) {
  return Error{ErrorKind::Snapshot, system_error_text(error_number)};
}

Error with_prefix(std::string_view prefix, const Error& error) {
  return Error{error.kind, std::string(prefix) + error.message};
}

FileDescriptor::~FileDescriptor() {
  // Errors are reported only by an explicit close(); here the file is being
  // abandoned anyway.
  if (fd_ >= 0) (void)::close(fd_);
}

Status FileDescriptor::close() {
  const int fd = std::exchange(fd_, -1);
  // On Linux the descriptor is gone even when close is interrupted, so an
  // EINTR is not retried and not a failure.
  if (::close(fd) != 0 && errno != EINTR) return system_error(errno);
  return {};
}

Status check_path(const std::string& path) {
  if (path.find('\0') != std::string::npos) {
    return Error{ErrorKind::Snapshot, NUL_IN_PATH};
  }
  return {};
}

int open_descriptor(const std::string& path, int flags, mode_t mode) {
  for (;;) {
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
    if (fd >= 0 || errno != EINTR) return fd;
  }
}

Result<FileDescriptor> open_file(const std::string& path, int flags, mode_t mode) {
  if (Status valid = check_path(path); !valid) return valid.error();
  const int fd = open_descriptor(path, flags, mode);
  if (fd < 0) return system_error(errno);
  return FileDescriptor(fd);
}

Result<ByteBuffer> read_to_end(const FileDescriptor& file) {
  std::size_t expected = 0;
  struct stat info;
  if (::fstat(file.get(), &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
    expected = static_cast<std::size_t>(info.st_size);
  }
  // One byte beyond the expected length lets the read that finds the end
  // land without growing the buffer.
  ByteBuffer bytes(expected + 1);
  std::size_t used = 0;
  for (;;) {
    if (used == bytes.size()) bytes.resize(std::max<std::size_t>(bytes.size() * 2, 8192));
    const ssize_t n = ::read(file.get(), bytes.data() + used, bytes.size() - used);
    if (n > 0) {
      used += static_cast<std::size_t>(n);
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      return system_error(errno);
    }
  }
  bytes.resize(used);
  return bytes;
}

Status write_all(const FileDescriptor& file, std::span<const std::uint8_t> bytes,
                 std::string_view zero_write_text) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(file.get(), bytes.data(), bytes.size());
    if (n > 0) {
      bytes = bytes.subspan(static_cast<std::size_t>(n));
    } else if (n == 0) {
      return Error{ErrorKind::Snapshot, std::string(zero_write_text)};
    } else if (errno != EINTR) {
      return system_error(errno);
    }
  }
  return {};
}

int sync_descriptor(int fd) {
  while (::fsync(fd) != 0) {
    if (errno != EINTR) return errno;
  }
  return 0;
}

Status sync(const FileDescriptor& file) {
  if (const int error = sync_descriptor(file.get()); error != 0) return system_error(error);
  return {};
}

}  // namespace quorbell
