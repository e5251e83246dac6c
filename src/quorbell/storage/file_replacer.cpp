#include "storage/file_replacer.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "core/fixed_texts.h"
#include "core/random.h"

namespace quorbell {

namespace {

// The kernel gives up on a chain of symlinks this long (ELOOP).
constexpr int kMaxSymlinkHops = 40;
// Attempts at a fresh temporary name before giving up with EEXIST.
constexpr int kTemporaryNameAttempts = 100;
// Keeps ".<name>.<16 hex digits>.tmp" within the 255-byte name limit.
constexpr std::size_t kTemporaryStemBytes = 200;
// A file shorter than this goes out in one buffered flush, a longer one
// through the write-all loop; a write that accepts nothing is reported in
// the words of the step it happened in. The threshold and both texts are
// deliberate, kept for compatibility with callers that match on them.
constexpr std::size_t kWriterBufferBytes = 8192;

std::string directory_of(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string name_of(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

struct Target {
  std::string path;
  bool exists = false;
  struct stat info = {};
};

// Follows symlinks in the last component of path to what they finally name:
// an existing non-link, or a path where nothing exists yet.
Result<Target> resolve(std::string path) {
  for (int hop = 0; hop < kMaxSymlinkHops; ++hop) {
    Target target{path};
    if (::lstat(path.c_str(), &target.info) != 0) {
      if (errno == ENOENT) return target;
      return system_error(errno);
    }
    if (!S_ISLNK(target.info.st_mode)) {
      target.exists = true;
      return target;
    }
    char link[PATH_MAX];
    const ssize_t length = ::readlink(path.c_str(), link, sizeof link);
    if (length < 0) return system_error(errno);
    if (static_cast<std::size_t>(length) == sizeof link) return system_error(ENAMETOOLONG);
    std::string next(link, static_cast<std::size_t>(length));
    path = next.starts_with('/') ? next : directory_of(path) + "/" + next;
  }
  return system_error(ELOOP);
}

std::string temporary_name(const std::string& target) {
  char suffix[32];
  std::snprintf(suffix, sizeof suffix, ".%016llx.tmp", static_cast<unsigned long long>(thread_random_u64()));
  return directory_of(target) + "/." + name_of(target).substr(0, kTemporaryStemBytes) + suffix;
}

// Makes a completed rename durable. Where the directory cannot be opened
// (write and search permission without read) or the file system cannot sync
// directories, this is the best that can be done and not a failure.
Status sync_directory(const std::string& directory) {
  // The rename is done and cannot be taken back, so nothing may abandon this.
  const Result<int> fd = open_descriptor(directory, O_RDONLY | O_DIRECTORY, 0, never_interrupted);
  if (!fd || fd.value() < 0) return {};
  FileDescriptor handle(fd.value());
  const int error = sync_descriptor(fd.value());
  if (error != 0 && error != EINVAL) return system_error(error);
  return handle.close();
}

}  // namespace

Result<FileReplacer> FileReplacer::begin(const std::string& path, InterruptionCheck interrupted) {
  if (Status valid = check_path(path); !valid) return valid.error();
  auto resolved = resolve(path);
  if (!resolved) return resolved.error();
  Target& target = resolved.value();

  const bool names_directory = target.path.empty() || target.path.ends_with('/');
  if (names_directory || (target.exists && !S_ISREG(target.info.st_mode))) {
    auto file = open_file(path, O_WRONLY | O_CREAT | O_TRUNC, 0666, interrupted);
    if (!file) return file.error();
    return FileReplacer(std::move(file).value(), path, std::nullopt, interrupted);
  }

  // Replacing a file needs only the directory's permission; refuse what
  // writing the file itself would be refused.
  if (target.exists && ::faccessat(AT_FDCWD, target.path.c_str(), W_OK, AT_EACCESS) != 0) {
    return system_error(errno);
  }
  const mode_t create_mode = target.exists ? 0600 : 0666;
  for (int attempt = 0; attempt < kTemporaryNameAttempts; ++attempt) {
    std::string temporary = temporary_name(target.path);
    const Result<int> fd = open_descriptor(temporary, O_WRONLY | O_CREAT | O_EXCL, create_mode, interrupted);
    if (!fd) return fd.error();
    if (fd.value() < 0) {
      if (errno == EEXIST) continue;
      return system_error(errno);
    }
    // Owned from here on, by moves that cannot fail: a failure below
    // removes the file again.
    FileReplacer replacer(FileDescriptor(fd.value()), std::move(target.path), std::move(temporary), interrupted);
    if (target.exists && ::fchmod(fd.value(), target.info.st_mode & 0777) != 0) return system_error(errno);
    return replacer;
  }
  return system_error(EEXIST);
}

FileReplacer::~FileReplacer() {
  // Abandoned before the rename: the target never saw this file.
  if (temporary_) (void)::unlink(temporary_->c_str());
}

Status FileReplacer::write(std::span<const std::uint8_t> bytes) {
  // Only the last piece of a file can leave the total below the buffer size.
  written_ += bytes.size();
  const char* zero_write_text = written_ < kWriterBufferBytes ? ZERO_WRITE_IN_FLUSH : ZERO_WRITE_IN_WRITE_ALL;
  return write_all(file_, bytes, zero_write_text, interrupted_);
}

Status FileReplacer::commit() {
  // FIFOs and devices have nothing to sync or rename.
  if (!temporary_) return file_.close();
  if (Status synced = sync(file_); !synced) return synced;
  if (Status closed = file_.close(); !closed) return closed;
  // Allocated first: once the file is in place, running out of memory
  // must not report the save as failed.
  const std::string directory = directory_of(target_);
  if (::rename(temporary_->c_str(), target_.c_str()) != 0) return system_error(errno);
  temporary_.reset();
  return sync_directory(directory);
}

}  // namespace quorbell
