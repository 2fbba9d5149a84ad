// The files a Linux take-out makes beside the hosts file: the new hosts file,
// renamed over the old one in one step, and, where no rename can replace the
// hosts file (a mount point of its own), the copy of its old content that a
// rewrite in place keeps until it is done. Both are made new (O_EXCL) in the
// hosts file's folder, so no link there is ever written through.
#pragma once

#include <string>
#include <string_view>

#include "base/unique_fd_posix.h"
#include "hosts/file_io_posix.h"

namespace varnick {

// A file made new beside the hosts file, removed again when it goes unless
// it was kept.
class BesideFile {
 public:
  BesideFile() = default;
  BesideFile(const BesideFile&) = delete;
  BesideFile& operator=(const BesideFile&) = delete;
  ~BesideFile() { discard(); }

  // Makes "<folder>/.hosts.varnick-XXXXXX", mode 0600.
  [[nodiscard]] Expected<void, Errno> create(const std::string& folder);
  [[nodiscard]] Expected<void, Errno> write(std::string_view bytes);
  // Flushes the file and the folder that names it.
  [[nodiscard]] Expected<void, Errno> flush();
  // The file's device and inode, as the journal names it.
  [[nodiscard]] Expected<std::string, Errno> identity() const;
  int fd() const { return file_.get(); }
  const std::string& path() const { return path_; }
  std::string name() const { return baseName(path_); }

  // Renames the file over `target` and flushes the folder: done, EBUSY when
  // `target` is a mount point, or another errno. The file is the target's now.
  [[nodiscard]] Expected<void, Errno> renameOver(const std::string& target);
  // Leaves the file where it is when this goes.
  void keep() { kept_ = true; }
  // Removes the file, unless it was renamed or kept.
  void discard();

 private:
  std::string folder_;
  std::string path_;
  UniqueFd file_;
  bool kept_ = false;
};

// Gives `to` the owner, the mode and every extended attribute of `from`
// (security.selinux, ACLs, user.*): done, or the errno of the first that
// could not be copied.
[[nodiscard]] Expected<void, Errno> copyOwnerModeAndAttributes(int from, int to);

// Writes `content` over the hosts file at `hostsFile` from its start, cuts
// it to that length and flushes it, when what stands there is still the
// file `asRead` (ESTALE otherwise: another program changed it).
[[nodiscard]] Expected<void, Errno> rewriteInPlace(const std::string& hostsFile,
                                                   std::string_view content,
                                                   const FileState& asRead);

}  // namespace varnick
