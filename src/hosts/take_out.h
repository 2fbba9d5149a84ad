// The end of a session's lines: the take-out that a session, a service
// connection or the Linux half runs at its end, and the recovery that puts
// right a session cut off before it, both over the store seam
// (hosts_store.h). The journal records each step before it is taken, so a
// cut anywhere, a power cut included, neither misses a line nor takes one
// out twice, and every other line, and every change another program made,
// stays.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "base/expected.h"
#include "hosts/hosts_store.h"
#include "hosts/journal_file.h"
#include "hosts/session_journal.h"

namespace varnick {

enum class TakeOutStep {
  kInUse,              // the journal of a running session (or gone): left alone
  kJournalUnreadable,  // a link, not the privileged side's, or not a journal: left as it is
  kLockFailed,         // the write lock
  kReadFailed,         // the hosts file, or the copy of a rewrite in place, could not be read
  kReplaceFailed,      // the new hosts file could not be written or swapped in, or written over
  kJournalFailed,      // the journal could not be written
  kKeptChanging,       // another program wrote to the hosts file during every round
  kFilesKept,          // the hosts file is right, but the journal, a backup or a copy could not go
};

// What stopped a take-out, in the records' words.
[[nodiscard]] const char* takeOutStepText(TakeOutStep step);

struct TakeOutFailure {
  TakeOutStep step = TakeOutStep::kReadFailed;
  std::uint32_t code = 0;  // the platform's error code; for kKeptChanging, the rounds run
  StoreFault fault = StoreFault::kFailed;  // kBusy: another process held the hosts file
  std::string file;  // the file the step concerns as shown, where it is not the hosts file
};

// The words of a failure, naming the file it concerns where there is one.
[[nodiscard]] std::string failureReason(const TakeOutFailure& failure);

// How the hosts file was changed, for those who say so.
enum class HostsChange {
  kNone,              // no line of the session was left in it
  kReplaced,          // a new file renamed over it
  kRewrittenInPlace,  // written over where no rename could replace it (a mount point)
};

// What a take-out did: the lines it took out and those no longer there,
// which stand even when a step after the swap failed, how the hosts file
// changed, and whether it got done.
struct [[nodiscard]] TakeOutResult {
  LineRemoval removal;
  HostsChange change = HostsChange::kNone;
  Expected<void, TakeOutFailure> done;
};

// Takes `lines` out of the hosts file, each as a whole line, under the
// write lock: a new file renamed over it, or, where the hosts file is a
// mount point of its own, its content written over in place after a copy of
// it is kept. Another program's write between the read and the swap starts
// the round over (kRebuildRounds at most). The journal records the new file
// or the copy before the change and the end after it.
[[nodiscard]] TakeOutResult takeOutLines(HostsStore& store, JournalFile& journal,
                                         const std::vector<JournalLine>& lines);

// As takeOutLines, but tries again for up to `boundMs` while another process
// holds the hosts file (an editor, an antivirus); `waiting` hears the first
// time, with the error code.
[[nodiscard]] TakeOutResult takeOutLinesWithin(HostsStore& store, JournalFile& journal,
                                               const std::vector<JournalLine>& lines,
                                               std::uint32_t boundMs,
                                               const std::function<void(std::uint32_t)>& waiting);

struct [[nodiscard]] RecoveryResult : TakeOutResult {
  std::string started;  // when the session started, from its journal
};

// Puts right the session whose journal is `journalName`, unless it runs:
// takes its lines out (none when its journal says they are out already),
// finishes a rewrite in place that was cut off, then removes the journal
// and any backup of an older Varnick's beside it.
[[nodiscard]] RecoveryResult recoverSession(HostsStore& store, const std::string& journalName);

}  // namespace varnick
