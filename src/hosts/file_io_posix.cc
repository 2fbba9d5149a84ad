#include "hosts/file_io_posix.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace varnick {
Unexpected<Errno> lastError() {
  const Errno error = static_cast<Errno>(errno);
  return unexpected(error);
}

Expected<UniqueFd, Errno> openPlainFile(const std::string& path, int flags, mode_t mode) {
  UniqueFd fd(::open(path.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode));
  if (!fd) return lastError();
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0) return lastError();
  if (!S_ISREG(status.st_mode)) return unexpected(static_cast<Errno>(EINVAL));
  return fd;
}

Expected<UniqueFd, Errno> openFolder(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd) return lastError();
  return fd;
}

Expected<std::string, Errno> readAll(int fd) {
  std::string content;
  char block[65536];
  for (off_t at = 0;;) {
    const ssize_t got = ::pread(fd, block, sizeof block, at);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return lastError();
    if (got == 0) return content;
    content.append(block, static_cast<std::size_t>(got));
    at += got;
  }
}

Expected<void, Errno> writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t put = ::write(fd, bytes.data(), bytes.size());
    if (put < 0 && errno == EINTR) continue;
    if (put < 0) return lastError();
    bytes.remove_prefix(static_cast<std::size_t>(put));
  }
  return {};
}

Expected<void, Errno> writeAllAt(int fd, std::string_view bytes, off_t offset) {
  while (!bytes.empty()) {
    const ssize_t put = ::pwrite(fd, bytes.data(), bytes.size(), offset);
    if (put < 0 && errno == EINTR) continue;
    if (put < 0) return lastError();
    bytes.remove_prefix(static_cast<std::size_t>(put));
    offset += put;
  }
  return {};
}

Expected<void, Errno> flush(int fd) {
  if (::fsync(fd) != 0) return lastError();
  return {};
}

Expected<void, Errno> flushFolder(const std::string& path) {
  Expected<UniqueFd, Errno> folder = openFolder(path);
  if (!folder) return unexpected(folder.error());
  return flush(folder->get());
}

bool FileState::operator==(const FileState& other) const {
  return device == other.device && inode == other.inode && size == other.size &&
         changedSeconds == other.changedSeconds && changedNanoseconds == other.changedNanoseconds;
}

FileState stateOf(const struct stat& status) {
  return {status.st_dev, status.st_ino, status.st_size, status.st_mtim.tv_sec,
          status.st_mtim.tv_nsec};
}

std::optional<FileState> stateAt(const std::string& path) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) return std::nullopt;
  return stateOf(status);
}

std::string identityText(const struct stat& status) {
  char text[48];
  std::snprintf(text, sizeof text, "%llx-%llx", static_cast<unsigned long long>(status.st_dev),
                static_cast<unsigned long long>(status.st_ino));
  return text;
}

std::string baseName(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace varnick
