// How long varnick-session waits for each step of Varnick's work, why that
// is long enough, and how a long wait says what it waits for.
#pragma once

#include <cstdint>

#include "hosts/replacement.h"

namespace varnick::control {

// varnick.exe's own longest waits, in whole seconds.
constexpr int secondsOf(std::uint32_t ms) { return static_cast<int>(ms / 1000); }
// An add waits this long for another writer of the hosts file.
constexpr int kVarnickWriteLockWaitSeconds = secondsOf(kWriteLockWaitMs);
// The restore keeps trying this long for the write lock and the files it
// needs; each step after the lock still gets at least one busy retry.
constexpr int kVarnickRestoreWaitSeconds = secondsOf(kRestoreWaitMs);
constexpr int kVarnickBusyRetrySeconds = secondsOf(kBusyRetryMs);
// A new `varnick server` waits this long for another one to end before it
// backs the hosts file up and connects.
constexpr int kVarnickServingLockWaitSeconds = secondsOf(kServingLockWaitMs);

// The longest that Varnick may take, by its own bounds, before it answers.
constexpr int kVarnickAddBoundSeconds = kVarnickWriteLockWaitSeconds;
// The lock, then the backup's copy and the swap, each retried while busy.
constexpr int kVarnickRestoreBoundSeconds =
    kVarnickRestoreWaitSeconds + 2 * kVarnickBusyRetrySeconds;
// Putting right one interrupted session: the write lock, then in each of
// the rebuild's rounds the open of the hosts file and the swap, each
// retried while busy.
constexpr int kVarnickJournalBoundSeconds =
    kVarnickWriteLockWaitSeconds + kRebuildRounds * 2 * kVarnickBusyRetrySeconds;
// A session's end: it tries to take its lines out for as long as a restore
// would, and a try that starts last takes as long as one journal's.
constexpr int kVarnickTakeOutBoundSeconds =
    kVarnickRestoreWaitSeconds + kVarnickJournalBoundSeconds;
// `session recover` with `journals` interrupted sessions to put right: the
// serving lock, then each journal in turn.
constexpr int varnickRecoveryBoundSeconds(int journals) {
  return kVarnickServingLockWaitSeconds + journals * kVarnickJournalBoundSeconds;
}
// Before it connects, `session <port>` waits for the serving lock and puts
// right the interrupted sessions (their time comes on top of --timeout);
// `server` only waits for the serving lock.
constexpr int kVarnickStartBoundSeconds = varnickRecoveryBoundSeconds(0);

// Room for the work itself on top of Varnick's waits: copying a large hosts
// file, a slow disk, a process start.
constexpr int kWaitMarginSeconds = 15;

constexpr bool outlasts(int waitSeconds, int boundSeconds) {
  return waitSeconds >= boundSeconds + kWaitMarginSeconds;
}

// For the reply to a request. A session that gives up earlier would take a
// late reply for the answer to its next request.
constexpr int kReplyWaitSeconds = 90;
// For Varnick to take the session's lines out (or restore the hosts file)
// and exit once it has answered the shutdown.
constexpr int kExitWaitSeconds = 125;
// For `varnick session recover` to put right what `journals` interrupted
// sessions left and exit.
constexpr int recoveryWaitSeconds(int journals) {
  return varnickRecoveryBoundSeconds(journals) + kWaitMarginSeconds;
}
// --timeout's default, for Varnick to start and connect (the consent prompt
// has been answered by then).
constexpr int kDefaultConnectWaitSeconds = 120;

// A reply must not time out before an add that waits for another writer.
static_assert(outlasts(kReplyWaitSeconds, kVarnickAddBoundSeconds));
// The session must not give up on a restore or a take-out that is still trying.
static_assert(outlasts(kExitWaitSeconds, kVarnickRestoreBoundSeconds));
static_assert(outlasts(kExitWaitSeconds, kVarnickTakeOutBoundSeconds));
// A server that waits for another one to end must still find us listening.
static_assert(outlasts(kDefaultConnectWaitSeconds, kVarnickStartBoundSeconds));

// After this long a wait says what it waits for, so that nobody takes a
// session that waits for a minute for one that hangs.
constexpr std::uint32_t kWaitNoticeMs = 5000;

// One bounded wait, looked at in slices: how long the next slice may be, and
// when to say once what is being waited for. Times are milliseconds on any
// clock that only goes forward.
class PatientWait {
 public:
  PatientWait(std::uint64_t startMs, std::uint64_t limitMs, std::uint64_t noticeMs = kWaitNoticeMs)
      : start_(startMs), limit_(limitMs), notice_(noticeMs) {}

  // How long to wait from `nowMs` before looking again: at most `maxSliceMs`,
  // and never past the notice (while it is due) or the limit. 0 once the
  // limit has passed.
  std::uint64_t sliceMs(std::uint64_t nowMs, std::uint64_t maxSliceMs) const;

  bool expired(std::uint64_t nowMs) const { return elapsed(nowMs) >= limit_; }

  // True the first time it is asked at or after the notice time, before the
  // limit; false ever after.
  bool noticeDue(std::uint64_t nowMs);

 private:
  std::uint64_t elapsed(std::uint64_t nowMs) const { return nowMs > start_ ? nowMs - start_ : 0; }

  std::uint64_t start_;
  std::uint64_t limit_;
  std::uint64_t notice_;
  bool noticed_ = false;
};

}  // namespace varnick::control
