#include "hosts/new_hosts_file_posix.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace varnick {
namespace {

Unexpected<Errno> lastError() { return unexpected(static_cast<Errno>(errno)); }

// The names of `fd`'s extended attributes; none where the file system keeps
// none.
Expected<std::vector<std::string>, Errno> attributeNames(int fd) {
  for (;;) {
    const ssize_t size = ::flistxattr(fd, nullptr, 0);
    if (size < 0 && errno == ENOTSUP) return std::vector<std::string>{};
    if (size < 0) return lastError();
    std::vector<char> list(static_cast<std::size_t>(size));
    const ssize_t got = ::flistxattr(fd, list.data(), list.size());
    if (got < 0 && errno == ERANGE) continue;  // one was added in between
    if (got < 0) return lastError();
    std::vector<std::string> names;
    for (std::size_t at = 0; at < static_cast<std::size_t>(got); at += names.back().size() + 1)
      names.emplace_back(list.data() + at);
    return names;
  }
}

Expected<std::string, Errno> attributeValue(int fd, const std::string& name) {
  for (;;) {
    const ssize_t size = ::fgetxattr(fd, name.c_str(), nullptr, 0);
    if (size < 0) return lastError();
    std::string value(static_cast<std::size_t>(size), '\0');
    const ssize_t got = ::fgetxattr(fd, name.c_str(), value.data(), value.size());
    if (got < 0 && errno == ERANGE) continue;  // it grew in between
    if (got < 0) return lastError();
    value.resize(static_cast<std::size_t>(got));
    return value;
  }
}

}  // namespace

Expected<void, Errno> BesideFile::create(const std::string& folder) {
  folder_ = folder;
  std::string name = folder + "/.hosts.varnick-XXXXXX";
  // mkostemp makes the file with O_CREAT | O_EXCL, mode 0600: a link at the
  // name is never followed.
  const int fd = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) return lastError();
  file_.reset(fd);
  path_ = name;
  return {};
}

Expected<void, Errno> BesideFile::write(std::string_view bytes) {
  return writeAll(file_.get(), bytes);
}

Expected<void, Errno> BesideFile::flush() {
  if (Expected<void, Errno> flushed = varnick::flush(file_.get()); !flushed) return flushed;
  return flushFolder(folder_);
}

Expected<std::string, Errno> BesideFile::identity() const {
  struct stat status {};
  if (::fstat(file_.get(), &status) != 0) return lastError();
  return identityText(status);
}

Expected<void, Errno> BesideFile::renameOver(const std::string& target) {
  if (::rename(path_.c_str(), target.c_str()) != 0) return lastError();
  path_.clear();
  return flushFolder(folder_);
}

void BesideFile::discard() {
  if (!path_.empty() && !kept_) ::unlink(path_.c_str());
  path_.clear();
  file_.reset();
}

Expected<void, Errno> copyOwnerModeAndAttributes(int from, int to) {
  struct stat status {};
  if (::fstat(from, &status) != 0) return lastError();
  // The owner first: a change of owner may clear the mode's set-id bits.
  if (::fchown(to, status.st_uid, status.st_gid) != 0) return lastError();
  if (::fchmod(to, status.st_mode & 07777) != 0) return lastError();
  Expected<std::vector<std::string>, Errno> names = attributeNames(from);
  if (!names) return unexpected(names.error());
  for (const std::string& name : *names) {
    Expected<std::string, Errno> value = attributeValue(from, name);
    if (!value) return unexpected(value.error());
    if (::fsetxattr(to, name.c_str(), value->data(), value->size(), 0) != 0) return lastError();
  }
  return {};
}

Expected<void, Errno> rewriteInPlace(const std::string& hostsFile, std::string_view content,
                                     const FileState& asRead) {
  Expected<UniqueFd, Errno> hosts = openPlainFile(hostsFile, O_WRONLY);
  if (!hosts) return unexpected(hosts.error());
  struct stat status {};
  if (::fstat(hosts->get(), &status) != 0) return lastError();
  if (!(stateOf(status) == asRead)) return unexpected(static_cast<Errno>(ESTALE));
  if (Expected<void, Errno> written = writeAllAt(hosts->get(), content, 0); !written)
    return written;
  if (::ftruncate(hosts->get(), static_cast<off_t>(content.size())) != 0) return lastError();
  return flush(hosts->get());
}

}  // namespace varnick
