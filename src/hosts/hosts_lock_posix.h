// The Linux half's machine-wide locks: flock on a file in a folder of
// root's alone (/run/varnick), so that no other user can make, hold or deny
// a lock. A killed holder lets go with its descriptor. The same two locks as
// on Windows, by the same names.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "base/unique_fd_posix.h"
#include "hosts/file_io_posix.h"
#include "hosts/lock_kinds.h"
#include "hosts/replacement.h"

namespace varnick {

// The lock files' names in the lock folder.
constexpr char kWriteLockName[] = "hosts.varnick-write-lock";
constexpr char kServingLockName[] = "hosts.varnick-serving-lock";

// Opens the lock folder, making it (0700) when missing: EPERM when it is not
// root's alone (a link, no folder, another owner, or writable by others).
[[nodiscard]] Expected<UniqueFd, Errno> openLockFolder(const std::string& path);

// What became of one lock file that was there: removed (error 0), left
// (EWOULDBLOCK: a running half holds it), or not removed (another errno).
struct LockFileRemoval {
  std::string path;
  Errno error = 0;
};

// What a clean did in the lock folder: each lock file that was there, and
// whether no half was serving (the serving lock was had exclusively, or
// was missing) when `whileNoneServes` ran.
struct LockFolderClean {
  std::vector<LockFileRemoval> files;
  bool noneServed = false;
};

// Removes each lock file in `lockFolder` that no process holds, taking it
// exclusively without waiting and unlinking it while it is held, so that a
// half waiting on it takes a new file (HostsLock checks the name). Runs
// `whileNoneServes` while the serving lock is so held, before it goes, or
// when it is missing. Then removes the folder when it is empty. A folder
// that is missing is nothing to clean; one that is not root's alone is
// reported as the failure of its first file, EPERM.
[[nodiscard]] LockFolderClean removeUnheldLockFiles(const std::string& lockFolder,
                                                    const std::function<void()>& whileNoneServes);

class HostsLock {
 public:
  using Kind = LockKind;
  using Sharing = LockSharing;

  HostsLock(std::string lockFolder, Kind kind, Sharing sharing = Sharing::kExclusive)
      : folder_(std::move(lockFolder)), kind_(kind), sharing_(sharing) {}
  HostsLock(const HostsLock&) = delete;
  HostsLock& operator=(const HostsLock&) = delete;

  // One try: done, busy while another Varnick holds it, or failed.
  StepResult tryTake();

  // Takes the lock, waiting up to `waitMs` while another Varnick holds it:
  // ETIMEDOUT when it stayed held, another errno when it cannot be had at
  // all. Let go when the lock goes.
  [[nodiscard]] SystemResult take(std::uint32_t waitMs, const BusyNotice& onFirstBusy = nullptr);

  bool held() const { return held_; }

 private:
  std::string folder_;
  Kind kind_;
  Sharing sharing_;
  UniqueFd file_;
  bool held_ = false;
};

}  // namespace varnick
