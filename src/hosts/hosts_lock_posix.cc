#include "hosts/hosts_lock_posix.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <utility>

#include "hosts/system_clock_posix.h"

namespace varnick {
namespace {

// Root's alone: a folder (not a link to one), root's, that nobody else may
// write.
bool isRootsAlone(const struct stat& status) {
  return S_ISDIR(status.st_mode) && status.st_uid == 0 &&
         (status.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// Whether `name` in `folder` still names the open `file`: a clean may have
// unlinked it while this process waited for it.
bool stillNamed(int folder, const char* name, int file) {
  struct stat named {};
  struct stat opened {};
  if (::fstatat(folder, name, &named, AT_SYMLINK_NOFOLLOW) != 0) return false;
  if (::fstat(file, &opened) != 0) return false;
  return named.st_dev == opened.st_dev && named.st_ino == opened.st_ino;
}

// Removes the lock file `name` unless another process holds it; `whileHeld`
// runs while this process holds it exclusively. Nothing when it was not
// there.
std::optional<LockFileRemoval> removeUnheldLockFile(int folder, const std::string& folderPath,
                                                    const char* name,
                                                    const std::function<void()>& whileHeld) {
  LockFileRemoval removal{folderPath + "/" + name};
  UniqueFd file(::openat(folder, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!file && errno == ENOENT) return std::nullopt;
  if (!file) {
    removal.error = static_cast<Errno>(errno);
    return removal;
  }
  if (::flock(file.get(), LOCK_EX | LOCK_NB) != 0) {
    removal.error = static_cast<Errno>(errno);
    return removal;
  }
  if (whileHeld) whileHeld();
  if (::unlinkat(folder, name, 0) != 0) removal.error = static_cast<Errno>(errno);
  return removal;
}

}  // namespace

LockFolderClean removeUnheldLockFiles(const std::string& lockFolder,
                                      const std::function<void()>& whileNoneServes) {
  LockFolderClean clean;
  struct stat status {};
  if (::lstat(lockFolder.c_str(), &status) != 0 && errno == ENOENT) {
    clean.noneServed = true;
    if (whileNoneServes) whileNoneServes();
    return clean;
  }
  Expected<UniqueFd, Errno> folder = openLockFolder(lockFolder);
  if (!folder) {
    clean.files.push_back({lockFolder + "/" + kWriteLockName, folder.error()});
    return clean;
  }
  const auto noneServes = [&] {
    clean.noneServed = true;
    if (whileNoneServes) whileNoneServes();
  };
  if (std::optional<LockFileRemoval> write =
          removeUnheldLockFile(folder->get(), lockFolder, kWriteLockName, nullptr))
    clean.files.push_back(*write);
  if (std::optional<LockFileRemoval> serving =
          removeUnheldLockFile(folder->get(), lockFolder, kServingLockName, noneServes)) {
    clean.files.push_back(*serving);
  } else {
    noneServes();
  }
  // Left while any file is; a half that makes it again meanwhile is served.
  (void)::rmdir(lockFolder.c_str());
  return clean;
}

Expected<UniqueFd, Errno> openLockFolder(const std::string& path) {
  // Made with no rights for others from the start, whatever the umask.
  if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return lastError();
  Expected<UniqueFd, Errno> folder = openFolder(path);
  // A link, or no folder, at the name.
  if (!folder && (folder.error() == ENOTDIR || folder.error() == ELOOP))
    return unexpected(static_cast<Errno>(EPERM));
  if (!folder) return folder;
  struct stat status {};
  if (::fstat(folder->get(), &status) != 0) return lastError();
  if (!isRootsAlone(status)) return unexpected(static_cast<Errno>(EPERM));
  return folder;
}

StepResult HostsLock::tryTake() {
  if (!file_) {
    Expected<UniqueFd, Errno> folder = openLockFolder(folder_);
    if (!folder) return failedAt(Attempt::kFailed, folder.error());
    const char* name = kind_ == Kind::kWrite ? kWriteLockName : kServingLockName;
    file_.reset(::openat(folder->get(), name, O_RDONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    struct stat status {};
    if (!file_ || ::fstat(file_.get(), &status) != 0) {
      const Errno error = static_cast<Errno>(errno);
      file_.reset();
      return failedAt(Attempt::kFailed, error);
    }
    if (!S_ISREG(status.st_mode)) {
      file_.reset();
      return failedAt(Attempt::kFailed, static_cast<Errno>(EINVAL));
    }
  }
  const int operation = sharing_ == Sharing::kShared ? LOCK_SH : LOCK_EX;
  if (::flock(file_.get(), operation | LOCK_NB) == 0) {
    Expected<UniqueFd, Errno> folder = openFolder(folder_);
    const char* name = kind_ == Kind::kWrite ? kWriteLockName : kServingLockName;
    if (!folder && folder.error() != ENOENT) {
      file_.reset();
      return failedAt(Attempt::kFailed, folder.error());
    }
    if (folder && stillNamed(folder->get(), name, file_.get())) {
      held_ = true;
      return {};
    }
    // A clean removed the file this one waited on: the next try opens the
    // one its name gives now, as every other Varnick does.
    file_.reset();
    return failedAt(Attempt::kBusy, static_cast<Errno>(EWOULDBLOCK));
  }
  const Errno error = static_cast<Errno>(errno);
  if (error == EWOULDBLOCK || error == EINTR) return failedAt(Attempt::kBusy, error);
  return failedAt(Attempt::kFailed, error);
}

SystemResult HostsLock::take(std::uint32_t waitMs, const BusyNotice& onFirstBusy) {
  SystemClock clock;
  StepResult result =
      retryWhileBusy([this] { return tryTake(); }, clock, {waitMs, kLockPauseMs}, onFirstBusy);
  if (result) return {};
  if (isBusy(result)) return unexpected(static_cast<Errno>(ETIMEDOUT));
  return unexpected(result.error().code);
}

}  // namespace varnick
