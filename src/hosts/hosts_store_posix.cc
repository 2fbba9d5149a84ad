#include "hosts/hosts_store_posix.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <utility>

#include "base/unique_fd_posix.h"
#include "hosts/file_io_posix.h"
#include "hosts/hosts_lock_posix.h"
#include "hosts/system_clock_posix.h"

namespace varnick {
namespace {

Unexpected<StoreError> failure(Errno error) {
  return storeFailure(error == ENOENT ? StoreFault::kMissing : StoreFault::kFailed, error);
}

Unexpected<StoreError> lastFailure() {
  const Errno error = static_cast<Errno>(errno);
  return failure(error);
}

// Which file, how long, and when it was last changed: what a write by
// another program changes.
std::string stampOf(const struct stat& status) {
  char text[96];
  std::snprintf(text, sizeof text, "%llx-%llx-%llx-%llx.%lx",
                static_cast<unsigned long long>(status.st_dev),
                static_cast<unsigned long long>(status.st_ino),
                static_cast<unsigned long long>(status.st_size),
                static_cast<unsigned long long>(status.st_mtim.tv_sec),
                static_cast<unsigned long>(status.st_mtim.tv_nsec));
  return text;
}

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

// Gives `to` the owner, the mode and every extended attribute of `from`
// (security.selinux, ACLs, user.*), so that the new hosts file is the old
// one's in all but its content.
Expected<void, Errno> copyOwnerModeAndAttributes(int from, int to) {
  struct stat status {};
  if (::fstat(from, &status) != 0) return lastError();
  // The owner first: a change of owner may clear the mode's set-id bits.
  if (::fchown(to, status.st_uid, status.st_gid) != 0 || ::fchmod(to, status.st_mode & 07777) != 0)
    return lastError();
  Expected<std::vector<std::string>, Errno> names = attributeNames(from);
  if (!names) return unexpected(names.error());
  for (const std::string& name : *names) {
    Expected<std::string, Errno> value = attributeValue(from, name);
    if (!value) return unexpected(value.error());
    if (::fsetxattr(to, name.c_str(), value->data(), value->size(), 0) != 0) return lastError();
  }
  return {};
}

class PosixFile final : public StoreFile {
 public:
  PosixFile(UniqueFd fd, std::string path)
      : fd_(std::move(fd)), path_(std::move(path)), name_(baseName(path_)) {}

  const std::string& name() const override { return name_; }
  int fd() const { return fd_.get(); }
  // Renamed over the hosts file: its name is the hosts file's now, which
  // remove() must never take.
  void placed() { placed_ = true; }

  StoreResult<std::string> readAll() override {
    Expected<std::string, Errno> content = varnick::readAll(fd_.get());
    if (!content) return failure(content.error());
    return std::move(*content);
  }

  StoreResult<std::optional<char>> lastByte() override {
    struct stat status {};
    if (::fstat(fd_.get(), &status) != 0) return lastFailure();
    if (status.st_size == 0) return std::optional<char>();
    char byte = 0;
    const ssize_t got = ::pread(fd_.get(), &byte, 1, status.st_size - 1);
    if (got < 0) return lastFailure();
    // None at all: another program cut the file in between.
    if (got != 1) return failure(ESTALE);
    return std::optional<char>(byte);
  }

  StoreResult<void> append(std::string_view bytes) override {
    if (::lseek(fd_.get(), 0, SEEK_END) < 0) return lastFailure();
    Expected<void, Errno> written = writeAll(fd_.get(), bytes);
    if (!written) return failure(written.error());
    return {};
  }

  StoreResult<void> overwrite(std::string_view bytes) override {
    Expected<void, Errno> written = writeAllAt(fd_.get(), bytes, 0);
    if (!written) return failure(written.error());
    return truncate(bytes.size());
  }

  StoreResult<void> truncate(std::uint64_t size) override {
    if (::ftruncate(fd_.get(), static_cast<off_t>(size)) != 0) return lastFailure();
    return {};
  }

  StoreResult<void> flush() override {
    Expected<void, Errno> flushed = varnick::flush(fd_.get());
    if (!flushed) return failure(flushed.error());
    return {};
  }

  StoreResult<std::string> identity() override {
    struct stat status {};
    if (::fstat(fd_.get(), &status) != 0) return lastFailure();
    return identityText(status);
  }

  StoreResult<std::string> stamp() override {
    struct stat status {};
    if (::fstat(fd_.get(), &status) != 0) return lastFailure();
    return stampOf(status);
  }

  StoreResult<void> remove() override {
    if (placed_) return {};
    if (::unlink(path_.c_str()) != 0) return lastFailure();
    return {};
  }

 private:
  UniqueFd fd_;
  std::string path_;
  std::string name_;
  bool placed_ = false;
};

StoreResult<OpenFile> opened(UniqueFd fd, std::string path) {
  return OpenFile(std::make_unique<PosixFile>(std::move(fd), std::move(path)));
}

// The write lock, held for as long as the hold lives.
class LockHold final : public StoreHold {
 public:
  explicit LockHold(const std::string& folder) : lock(folder, HostsLock::Kind::kWrite) {}
  HostsLock lock;
};

// Refuses a name that is not a bare file name, before any system call.
bool refused(const std::string& name) { return !isBareFileName(name); }

// The store of the hosts file at its places; see hosts_store_posix.h.
class PosixHostsStore final : public HostsStore {
 public:
  explicit PosixHostsStore(HostsPlaces places) : places_(std::move(places)) {}

  std::string_view lineEnd() const override { return "\n"; }
  RetryClock& clock() override { return clock_; }

  std::string hostsName() const override { return baseName(places_.hostsFile); }

  std::uint32_t invalidContentCode() const override { return EBADMSG; }

  std::string shownPath(std::string_view name) const override { return besideHostsFile(name); }

  StoreResult<std::string> randomBytes(std::size_t count) override {
    std::string bytes(count, '\0');
    for (std::size_t at = 0; at < count;) {
      const ssize_t got = ::getrandom(bytes.data() + at, count - at, 0);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) return lastFailure();
      at += static_cast<std::size_t>(got);
    }
    return bytes;
  }

  StoreResult<std::unique_ptr<StoreHold>> lockWrites(std::uint32_t waitMs) override {
    auto hold = std::make_unique<LockHold>(places_.lockFolder);
    if (SystemResult taken = hold->lock.take(waitMs); !taken) return failure(taken.error());
    return std::unique_ptr<StoreHold>(std::move(hold));
  }

  StoreResult<OpenFile> openHostsToAppend() override {
    // Read too: the last byte says whether the file ends in a line end.
    return openHostsFile(O_RDWR | O_APPEND);
  }

  StoreResult<OpenFile> openHostsToRead() override { return openHostsFile(O_RDONLY); }

  StoreResult<std::string> hostsStamp() override {
    struct stat status {};
    if (::lstat(places_.hostsFile.c_str(), &status) != 0) return lastFailure();
    return stampOf(status);
  }

  StoreResult<std::string> hostsIdentity() override {
    struct stat status {};
    if (::lstat(places_.hostsFile.c_str(), &status) != 0) return lastFailure();
    return identityText(status);
  }

  StoreResult<OpenFile> createReplacement(StoreFile& hosts) override {
    StoreResult<OpenFile> next = createBeside();
    if (!next) return next;
    Expected<void, Errno> copied = copyOwnerModeAndAttributes(static_cast<PosixFile&>(hosts).fd(),
                                                              static_cast<PosixFile&>(**next).fd());
    if (!copied) {
      (*next)->remove().ignore();
      return failure(copied.error());
    }
    return next;
  }

  StoreResult<void> swapIn(StoreFile& next) override {
    auto& file = static_cast<PosixFile&>(next);
    if (::rename(shownPath(file.name()).c_str(), places_.hostsFile.c_str()) != 0) {
      const Errno error = static_cast<Errno>(errno);
      return storeFailure(error == EBUSY ? StoreFault::kNoRename : StoreFault::kFailed, error);
    }
    file.placed();
    return {};
  }

  StoreResult<OpenFile> openHostsToRewrite(const std::string& stamp) override {
    StoreResult<OpenFile> hosts = openHostsFile(O_WRONLY);
    if (!hosts) return hosts;
    StoreResult<std::string> now = (*hosts)->stamp();
    if (!now) return unexpected(now.error());
    if (*now != stamp) return storeFailure(StoreFault::kStale, ESTALE);
    return hosts;
  }

  StoreResult<std::vector<std::string>> listNames() override {
    Expected<UniqueFd, Errno> folder = openFolder(places_.hostsFolder);
    if (!folder) return failure(folder.error());
    DIR* listing = ::fdopendir(folder->get());
    if (listing == nullptr) return lastFailure();
    folder->release();
    std::vector<std::string> names;
    // errno is set to 0 before each readdir: only its own failure may stand
    // when it returns nothing.
    const dirent* entry = nullptr;
    for (errno = 0; (entry = ::readdir(listing)) != nullptr; errno = 0) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    const Errno error = static_cast<Errno>(errno);
    ::closedir(listing);
    if (error != 0) return failure(error);
    return names;
  }

  StoreResult<OpenFile> createJournal(const std::string& name) override {
    if (refused(name)) return failure(EINVAL);
    // Made, then locked: under the write lock, so that no recovery meets
    // it in between.
    StoreResult<std::unique_ptr<StoreHold>> lock = lockWrites(kWriteLockWaitMs);
    if (!lock) return unexpected(lock.error());
    std::string path = besideHostsFile(name);
    UniqueFd fd(
        ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd) return lastFailure();
    // Root's whatever group the folder hands down; held before anyone can look.
    if (::fchown(fd.get(), 0, 0) != 0 || ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
      const Errno error = static_cast<Errno>(errno);
      (void)::unlink(path.c_str());
      return failure(error);
    }
    return opened(std::move(fd), std::move(path));
  }

  StoreResult<OpenFile> openJournal(const std::string& name) override {
    if (refused(name)) return failure(EINVAL);
    std::string path = besideHostsFile(name);
    Expected<UniqueFd, Errno> file = openPlainFile(path, O_RDWR | O_APPEND);
    if (!file) return failure(file.error());
    struct stat status {};
    if (::fstat(file->get(), &status) != 0) return lastFailure();
    if (status.st_uid != 0) return failure(EPERM);
    if (::flock(file->get(), LOCK_EX | LOCK_NB) != 0) {
      const Errno error = static_cast<Errno>(errno);
      return storeFailure(error == EWOULDBLOCK ? StoreFault::kHeld : StoreFault::kFailed, error);
    }
    // Its session may have removed it between the open and the lock.
    struct stat named {};
    if (::lstat(path.c_str(), &named) != 0 || named.st_ino != status.st_ino ||
        named.st_dev != status.st_dev)
      return failure(ENOENT);
    return opened(std::move(*file), std::move(path));
  }

  StoreResult<OpenFile> createCopy() override { return createBeside(); }

  StoreResult<OpenFile> openToRead(const std::string& name) override {
    if (refused(name)) return failure(EINVAL);
    std::string path = besideHostsFile(name);
    Expected<UniqueFd, Errno> file = openPlainFile(path, O_RDONLY);
    if (!file) return failure(file.error());
    return opened(std::move(*file), std::move(path));
  }

  StoreResult<void> removeFile(const std::string& name) override {
    if (refused(name)) return failure(EINVAL);
    const std::string path = besideHostsFile(name);
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) return lastFailure();
    if (S_ISLNK(status.st_mode)) return failure(ELOOP);
    if (!S_ISREG(status.st_mode)) return failure(EINVAL);
    if (::unlink(path.c_str()) != 0) return lastFailure();
    return {};
  }

  StoreResult<void> flushFolder() override {
    Expected<void, Errno> flushed = varnick::flushFolder(places_.hostsFolder);
    if (!flushed) return failure(flushed.error());
    return {};
  }

 private:
  std::string besideHostsFile(std::string_view name) const {
    return places_.hostsFolder + "/" + std::string(name);
  }

  StoreResult<OpenFile> openHostsFile(int flags) const {
    Expected<UniqueFd, Errno> hosts = openPlainFile(places_.hostsFile, flags);
    if (!hosts) return failure(hosts.error());
    return opened(std::move(*hosts), places_.hostsFile);
  }

  StoreResult<OpenFile> createBeside() {
    std::string path = besideHostsFile(".hosts.varnick-XXXXXX");
    // mkostemp makes the file with O_CREAT | O_EXCL, mode 0600: a link at the
    // name is never followed.
    UniqueFd fd(::mkostemp(path.data(), O_CLOEXEC));
    if (!fd) return lastFailure();
    return opened(std::move(fd), std::move(path));
  }

  HostsPlaces places_;
  SystemClock clock_;
};

}  // namespace

std::unique_ptr<HostsStore> makePosixHostsStore(HostsPlaces places) {
  return std::make_unique<PosixHostsStore>(std::move(places));
}

}  // namespace varnick
