// The recovery of interrupted sessions, which every mode that keeps a
// journal runs before it serves: a session's Varnick, `session recover`
// and `clean`, and the service at its start.
#pragma once

#include <string>

#include "hosts/session_files_win32.h"
#include "modes/work_report.h"

namespace varnick {

// Puts right the sessions that ended without taking their lines out: takes
// out the lines their journals name, and removes the journals. Journals
// that a running process holds (a session beside this one, or the service)
// are left to it, and said so when `sayWhenNone`. False when any could not
// be put right.
bool recoverInterruptedSessions(WorkReport& report, bool sayWhenNone);

// Reports what a session's or a connection's take-out did, line by line,
// then removes its journal, or keeps it for a recovery when the take-out
// failed: whether the hosts file is right.
bool finishTakeOut(const TakeOutResult& taken, JournalFile& journal,
                   const std::wstring& journalPath, WorkReport& report);

// Why a take-out stopped, in the records' words, naming the file the step
// concerns where it does.
std::string failureReason(const StepFailure<TakeOutStep>& failure);

}  // namespace varnick
