// File reads, writes and checks of the Linux half, every one through a
// descriptor it opened without following a link. Errors are errno values.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/expected.h"
#include "base/unique_fd_posix.h"

namespace varnick {

// An errno value, as the results of this layer carry it.
using Errno = std::uint32_t;

// The errno of the call that just failed, as a failure: read before any
// other call can change it.
[[nodiscard]] Unexpected<Errno> lastError();

// Opens `path` with `flags` and O_NOFOLLOW | O_CLOEXEC, and keeps it only
// when it is a regular file: ELOOP for a link at the name, EINVAL for
// anything else that is no regular file.
[[nodiscard]] Expected<UniqueFd, Errno> openPlainFile(const std::string& path, int flags,
                                                      mode_t mode = 0);

// Opens a folder to flush or list it, refusing a link at its name.
[[nodiscard]] Expected<UniqueFd, Errno> openFolder(const std::string& path);

// The whole content of `fd` from its start.
[[nodiscard]] Expected<std::string, Errno> readAll(int fd);

// Writes all of `bytes` at the file position, or at `offset` when given.
[[nodiscard]] Expected<void, Errno> writeAll(int fd, std::string_view bytes);
[[nodiscard]] Expected<void, Errno> writeAllAt(int fd, std::string_view bytes, off_t offset);

// fsync of `fd`, and of the folder `path`, so that a name made or changed
// in it lasts a power cut.
[[nodiscard]] Expected<void, Errno> flush(int fd);
[[nodiscard]] Expected<void, Errno> flushFolder(const std::string& path);

// What a file is, as far as a change to it shows: which file (device and
// inode), how long, and when it was last changed.
struct FileState {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  std::int64_t changedSeconds = 0;
  long changedNanoseconds = 0;
  bool operator==(const FileState& other) const;
};

[[nodiscard]] FileState stateOf(const struct stat& status);
// The state of what stands at `path` now, without following a link.
[[nodiscard]] std::optional<FileState> stateAt(const std::string& path);

// The file's device and inode as the journal names a new hosts file:
// "<device hex>-<inode hex>".
[[nodiscard]] std::string identityText(const struct stat& status);

// `path`'s last name.
[[nodiscard]] std::string baseName(const std::string& path);

}  // namespace varnick
