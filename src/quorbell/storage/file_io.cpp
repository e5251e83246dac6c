#include "storage/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

Error system_error(int error_number) { return Error{ErrorKind::Snapshot, system_error_text(error_number)}; }

Error with_prefix(std::string_view prefix, const Error& error) {
  if (error.kind == ErrorKind::Interrupted) return error;
  return Error{error.kind, std::string(prefix).append(error.message.view())};
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

Result<int> open_descriptor(const std::string& path, int flags, mode_t mode, InterruptionCheck interrupted) {
  for (;;) {
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
    if (fd >= 0 || errno != EINTR) return fd;
    if (Status go_on = interrupted(); !go_on) return go_on.error();
  }
}

Result<FileDescriptor> open_file(const std::string& path, int flags, mode_t mode, InterruptionCheck interrupted) {
  if (Status valid = check_path(path); !valid) return valid.error();
  const Result<int> fd = open_descriptor(path, flags, mode, interrupted);
  if (!fd) return fd.error();
  if (fd.value() < 0) return system_error(errno);
  return FileDescriptor(fd.value());
}

FileSource::FileSource(const FileDescriptor& file, InterruptionCheck interrupted)
    : fd_(file.get()), interrupted_(interrupted) {
  struct stat info;
  if (::fstat(fd_, &info) == 0 && S_ISREG(info.st_mode)) size_ = static_cast<std::uint64_t>(info.st_size);
}

std::optional<std::size_t> FileSource::read(std::span<std::uint8_t> into) {
  for (;;) {
    const ssize_t n = ::read(fd_, into.data(), into.size());
    if (n < 0 && errno != EINTR) {
      read_status_ = system_error(errno);
      return std::nullopt;
    }
    // Between pieces, and after an interrupted read, the check may end it.
    if (Status go_on = interrupted_(); !go_on) {
      read_status_ = go_on;
      return std::nullopt;
    }
    if (n >= 0) {
      consumed_ += static_cast<std::uint64_t>(n);
      return static_cast<std::size_t>(n);
    }
  }
}

std::optional<std::uint64_t> FileSource::bytes_left() const {
  // A file that grew while it was read has no known rest.
  if (!size_ || consumed_ > *size_) return std::nullopt;
  return *size_ - consumed_;
}

Status write_all(const FileDescriptor& file, std::span<const std::uint8_t> bytes, std::string_view zero_write_text,
                 InterruptionCheck interrupted) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(file.get(), bytes.data(), bytes.size());
    if (n == 0) return Error{ErrorKind::Snapshot, std::string(zero_write_text)};
    if (n < 0 && errno != EINTR) return system_error(errno);
    if (Status go_on = interrupted(); !go_on) return go_on;
    if (n > 0) bytes = bytes.subspan(static_cast<std::size_t>(n));
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
