// The recovery of interrupted sessions, which every mode that keeps a
// journal runs before it serves (a session's Varnick, `session recover`
// and `clean`, the service at its start, the Linux half), and the report of
// a take-out at a session's end: the same records on every platform.
#pragma once

#include "hosts/hosts_store.h"
#include "hosts/journal_file.h"
#include "hosts/take_out.h"
#include "log/logging.h"
#include "modes/work_report.h"

namespace varnick {

// Puts right the sessions that ended without taking their lines out: takes
// out the lines their journals name, and removes the journals. Journals
// that a running process holds (a session beside this one, or the service)
// are left to it, and said so when `sayWhenNone`, as is finding none. False
// when any could not be put right.
bool recoverInterruptedSessions(HostsStore& store, WorkReport& report, bool sayWhenNone);

// Reports what a session's or a connection's take-out did, line by line
// (and to `log`, a rewrite in place), then removes its journal, or keeps it
// for a recovery when the take-out failed: whether the hosts file is right.
bool finishTakeOut(HostsStore& store, const TakeOutResult& taken, JournalFile& journal,
                   WorkReport& report, Logger* log);

// Makes a session's own journal, named anew, beside the hosts file, with
// `started` in its header; false, recorded to `log`, when it cannot be
// named or made (one made in part goes again: it names no line).
bool createSessionJournal(HostsStore& store, JournalFile& journal, std::string_view started,
                          Logger* log);

}  // namespace varnick
