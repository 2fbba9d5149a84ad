// Machine-wide locks that only administrators can take: a byte-range lock on
// a file beside the hosts file. Only administrators may create files in the
// hosts file's folder, and the lock file's own access rules admit only
// administrators and the system, so no unelevated process can create it
// first, open it to hold the lock, or deny it. A named kernel object would
// not do: anyone may create a name in Global\ first, with rules of their own.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "hosts/lock_kinds.h"
#include "hosts/replacement.h"

namespace varnick {

class HostsLock {
 public:
  using Kind = LockKind;
  using Sharing = LockSharing;

  explicit HostsLock(Kind kind, Sharing sharing = Sharing::kExclusive)
      : kind_(kind), sharing_(sharing) {}
  // Lets the lock go if it is held.
  ~HostsLock();
  HostsLock(const HostsLock&) = delete;
  HostsLock& operator=(const HostsLock&) = delete;

  // One try: done, busy while another Varnick holds it, or failed.
  StepResult tryTake();

  // Takes the lock, waiting up to `waitMs` while another Varnick holds it.
  // The failure is ERROR_TIMEOUT when it stayed held; another code when it
  // cannot be had at all (kErrorIsLink for a link at the lock file's name).
  SystemResult take(std::uint32_t waitMs, const BusyNotice& onFirstBusy = nullptr);

  bool held() const { return held_; }

 private:
  Kind kind_;
  Sharing sharing_;
  bool held_ = false;
};

// Opens both lock files now, before a process's threads start taking locks.
// One that cannot be opened now is tried again at its next take; one that
// opened stays open for the rest of the run.
void openLockFiles();

// Its own type rather than an Expected: a report of every lock file, found
// or not, whose code the caller tells three ways (gone, held, could not go).
// What became of one lock file that removeUnheldLockFiles looked at: 0 when
// it is gone, ERROR_SHARING_VIOLATION when another process holds it open (a
// Varnick that runs), kErrorIsLink for a link at its name, another code when
// it could not go.
struct LockFileRemoval {
  std::wstring path;
  bool wasThere = false;
  DWORD error = ERROR_SUCCESS;
};

// Lets go of this process's own lock files, then removes each that no other
// process has open. For uninstalling: only while no HostsLock is held here.
std::vector<LockFileRemoval> removeUnheldLockFiles();

}  // namespace varnick
