// The Linux half's machine-wide locks: flock on a file in a folder of
// root's alone (/run/varnick), so that no other user can make, hold or deny
// a lock. A killed holder lets go with its descriptor. The same two locks as
// on Windows, by the same names.
#pragma once

#include <cstdint>
#include <string>

#include "base/unique_fd_posix.h"
#include "hosts/file_io_posix.h"
#include "hosts/replacement.h"

namespace varnick {

// The lock files' names in the lock folder.
constexpr char kWriteLockName[] = "hosts.varnick-write-lock";
constexpr char kServingLockName[] = "hosts.varnick-serving-lock";

// Opens the lock folder, making it (0700) when missing: EPERM when it is not
// root's alone (a link, no folder, another owner, or writable by others).
[[nodiscard]] Expected<UniqueFd, Errno> openLockFolder(const std::string& path);

class HostsLock {
 public:
  enum class Kind {
    // Held by every Varnick writer of the hosts file: an add for its one
    // write; a take-out from the first read to its end; the making of a
    // journal, and a recovery's look at one.
    kWrite,
    // Shared by every session's half for its whole life; kept for a mode
    // that puts a whole old file back, which must run alone.
    kServing,
  };
  enum class Sharing { kExclusive, kShared };

  HostsLock(std::string lockFolder, Kind kind, Sharing sharing = Sharing::kExclusive)
      : folder_(std::move(lockFolder)), kind_(kind), sharing_(sharing) {}
  HostsLock(const HostsLock&) = delete;
  HostsLock& operator=(const HostsLock&) = delete;

  // One try: done, busy while another Varnick holds it, or failed.
  StepResult tryTake();

  // Takes the lock, waiting up to `waitMs` while another Varnick holds it:
  // 0 when held, ETIMEDOUT when it stayed held, another errno when it cannot
  // be had at all. Let go when the lock goes.
  [[nodiscard]] Errno take(std::uint32_t waitMs, const BusyNotice& onFirstBusy = nullptr);

  bool held() const { return held_; }

 private:
  std::string folder_;
  Kind kind_;
  Sharing sharing_;
  UniqueFd file_;
  bool held_ = false;
};

}  // namespace varnick
