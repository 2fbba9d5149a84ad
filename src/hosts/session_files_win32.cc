#include "hosts/session_files_win32.h"

#include <ntsecapi.h>

#include "base/file_identity_win32.h"
#include "base/file_io_win32.h"
#include "base/hex_text.h"
#include "base/object_rules.h"
#include "base/security_descriptor_win32.h"
#include "hosts/hosts_file_state_win32.h"
#include "hosts/replacement.h"
#include "hosts/hosts_location.h"
#include "hosts/hosts_lock_win32.h"
#include "hosts/new_hosts_file_win32.h"
#include "hosts/system_clock_win32.h"

namespace varnick {
namespace {

std::optional<std::wstring> randomHex() {
  char bytes[16];
  if (!RtlGenRandom(bytes, sizeof bytes)) return std::nullopt;
  const std::string hex = toHex(std::string_view(bytes, sizeof bytes));
  return std::wstring(hex.begin(), hex.end());
}

SessionFiles filesNamed(const std::wstring& name) {
  std::wstring stem = besideHostsFile(kSessionStem) + name;
  return {stem + kSessionBackupSuffix, stem + kSessionJournalSuffix};
}

// One round: reads the hosts file while keeping writers out, writes it anew
// without the lines, records the new file in the journal and swaps it in,
// unless another program wrote to the hosts file in the instant after it
// was let go.
Round takeOutOnce(JournalFile& journal, const std::vector<JournalLine>& lines,
                  TakeOutResult& result) {
  SystemClock clock;
  UniqueFile hosts;
  std::string content;
  SystemResult read = openHostsFileForRebuild(clock, hosts);
  if (read) read = readAll(hosts.get(), content);
  // A hosts file that someone removed took the lines with it.
  if (!read && read.error() != ERROR_FILE_NOT_FOUND) {
    result = {{}, failedAt(TakeOutStep::kReadFailed, read.error())};
    return Round::kFailed;
  }
  result.removal = removeSessionLines(content, lines);
  if (result.removal.removed.empty()) {
    result.done = {};
    return Round::kDone;
  }
  NewHostsFile replacement;
  SystemResult written = replacement.create();
  for (const KeptBytes& piece : result.removal.kept) {
    if (!written) break;
    written =
        replacement.write(content.data() + piece.from, static_cast<DWORD>(piece.to - piece.from));
  }
  if (!written) {
    result = {{}, failedAt(TakeOutStep::kReplaceFailed, written.error())};
    return Round::kFailed;
  }
  std::optional<std::string> identity = replacement.identity();
  if (!identity) {
    const DWORD identityError = GetLastError();
    result = {{}, failedAt(TakeOutStep::kReplaceFailed, identityError)};
    return Round::kFailed;
  }
  if (SystemResult recorded = journal.takingOut(*identity); !recorded) {
    result = {{}, failedAt(TakeOutStep::kJournalFailed, recorded.error())};
    return Round::kFailed;
  }
  std::optional<FileState> asRead = stateOf(hosts.get());
  hosts.reset();
  CommitResult committed =
      replacement.commit(clock, [&asRead] { return asRead && stateOfHostsFile() == asRead; });
  if (!committed && committed.error().step == CommitStage::kStale) return Round::kStale;
  if (!committed) {
    result = {{}, failedAt(TakeOutStep::kReplaceFailed, committed.error().code)};
    return Round::kFailed;
  }
  result.done = {};
  return Round::kDone;
}

// The journal and any backup of an older Varnick's session go once the
// hosts file is right: the backup first, so that a backup is never left
// without the journal that leads to it.
// The backup first: a journal kept keeps naming it for the next recovery.
Expected<void, StepFailure<TakeOutStep>> removeFiles(const SessionFiles& files,
                                                     JournalFile& journal) {
  if (SystemResult removed = removeSessionFile(files.backup); !removed)
    return failedAt(TakeOutStep::kFilesKept, removed.error(), files.backup);
  if (SystemResult removed = journal.removeAndClose(); !removed)
    return failedAt(TakeOutStep::kFilesKept, removed.error(), files.journal);
  return {};
}

}  // namespace

std::optional<SessionFiles> nameSessionFiles() {
  std::optional<std::wstring> name = randomHex();
  if (!name) return std::nullopt;
  return filesNamed(*name);
}

SystemResult JournalFile::create(const std::wstring& path, std::string_view started) {
  // Rules of its own rather than the folder's: what a recovery will take
  // out must not depend on how an administrator set up that folder.
  SecurityDescriptor rules;
  if (SystemResult converted = rules.convert(kJournalRules); !converted) return converted;
  file_.reset(CreateFileW(path.c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_READ, rules.attributes(),
                          CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file_) {
    const DWORD error = GetLastError();
    return unexpected(error);
  }
  return writeFlushed(journalHeader(started));
}

SystemResult JournalFile::openExisting(const std::wstring& path, std::string& content) {
  // Write access and no sharing but reading: a running Varnick writes its
  // journal, so this open fails while it runs, and while this one is open
  // no other Varnick recovers the same session.
  file_.reset(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ,
                          nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file_) {
    const DWORD error = GetLastError();
    return unexpected(error);
  }
  SystemResult read = checkIsFileMeant(file_.get(), fullLongPath(path.c_str()));
  if (read) read = readAll(file_.get(), content);
  if (!read) file_.reset();
  return read;
}

SystemResult JournalFile::removeAndClose() {
  SystemResult removed =
      file_ ? deleteByHandle(file_.get()) : SystemResult(unexpected(ERROR_INVALID_HANDLE));
  file_.reset();
  return removed;
}

SystemResult JournalFile::cutTo(std::uint64_t size) {
  LARGE_INTEGER at{};
  at.QuadPart = static_cast<LONGLONG>(size);
  if (!SetFilePointerEx(file_.get(), at, nullptr, FILE_BEGIN) || !SetEndOfFile(file_.get())) {
    const DWORD error = GetLastError();
    return unexpected(error);
  }
  return {};
}

SystemResult JournalFile::appended(std::string_view entry, LineStart start) {
  SystemResult written = writeFlushed(appendedRecord(entry, start));
  // Written but not flushed still counts: the line may go in.
  lines_.push_back({std::string(entry), start});
  return written;
}

SystemResult JournalFile::appendFailed() {
  if (!lines_.empty()) lines_.pop_back();
  return writeFlushed(failedRecord());
}

SystemResult JournalFile::takingOut(std::string_view newFileIdentity) {
  return writeFlushed(takingOutRecord(newFileIdentity));
}

SystemResult JournalFile::takenOut() { return writeFlushed(takenOutRecord()); }

SystemResult JournalFile::writeFlushed(const std::string& bytes) {
  if (!file_) return unexpected(ERROR_INVALID_HANDLE);
  if (SystemResult written = writeAll(file_.get(), bytes.data(), static_cast<DWORD>(bytes.size()));
      !written)
    return written;
  if (!FlushFileBuffers(file_.get())) {
    const DWORD error = GetLastError();
    return unexpected(error);
  }
  return {};
}

SystemResult removeSessionFile(const std::wstring& path) {
  return removePlainFile(fullLongPath(path.c_str()));
}

SystemResult findSessionJournals(std::vector<SessionFiles>& found) {
  std::vector<FoundFile> journals;
  if (SystemResult listed = listFiles(hostsDirectory(), kSessionJournals, journals); !listed)
    return listed;
  const std::wstring prefix = besideHostsFile(kSessionStem);
  const std::size_t suffix = std::wstring(kSessionJournalSuffix).size();
  for (const FoundFile& journal : journals) {
    const std::wstring& path = journal.path;
    if (path.size() > prefix.size() + suffix && path.compare(0, prefix.size(), prefix) == 0)
      found.push_back(filesNamed(path.substr(prefix.size(), path.size() - prefix.size() - suffix)));
  }
  return {};
}

TakeOutResult takeOutLines(JournalFile& journal, const std::vector<JournalLine>& lines) {
  HostsLock lock(HostsLock::Kind::kWrite);
  if (SystemResult taken = lock.take(kWriteLockWaitMs); !taken)
    return {{}, failedAt(TakeOutStep::kLockFailed, taken.error())};
  TakeOutResult result;
  Round last = rebuildInRounds([&] { return takeOutOnce(journal, lines, result); });
  if (last == Round::kStale) return {{}, failedAt(TakeOutStep::kKeptChanging, ERROR_SUCCESS)};
  if (last == Round::kFailed) return result;
  // The lines are out: a recovery that finds the journal now has nothing to
  // do, whatever the hosts file holds by then.
  if (SystemResult recorded = journal.takenOut(); !recorded)
    result.done = failedAt(TakeOutStep::kJournalFailed, recorded.error());
  return result;
}

TakeOutResult takeOutLinesWithin(JournalFile& journal, const std::vector<JournalLine>& lines,
                                 std::uint32_t boundMs, const std::function<void(DWORD)>& waiting) {
  SystemClock clock;
  const std::uint64_t deadline = clock.nowMs() + boundMs;
  for (bool told = false;; told = true) {
    TakeOutResult result = takeOutLines(journal, lines);
    // A reader keeps the hosts file from being opened for the rebuild or
    // from being replaced; both leave it as it was.
    if (result.done) return result;
    const StepFailure<TakeOutStep>& failure = result.done.error();
    const bool held =
        (failure.step == TakeOutStep::kReadFailed && isSharingConflict(failure.code)) ||
        (failure.step == TakeOutStep::kReplaceFailed && isHeldAtSwap(failure.code));
    if (!held || clock.nowMs() >= deadline) return result;
    if (!told && waiting) waiting(failure.code);
    clock.sleepMs(kBusyPauseMs);
  }
}

RecoveryResult recoverSession(const SessionFiles& files) {
  RecoveryResult result;
  JournalFile journal;
  std::string content;
  if (SystemResult opened = journal.openExisting(files.journal, content); !opened) {
    const std::uint32_t error = opened.error();
    result.done = failedAt(
        error == ERROR_SHARING_VIOLATION ? TakeOutStep::kInUse : TakeOutStep::kJournalUnreadable,
        error);
    return result;
  }
  JournalRead read = readJournal(content);
  if (read.state == JournalState::kNotAJournal) {
    result.done = failedAt(TakeOutStep::kJournalUnreadable, ERROR_INVALID_DATA);
    return result;
  }
  result.started = read.journal.started;
  // Cut in its header, the journal holds no line; a take-out whose new file
  // is the hosts file now was swapped in before the cut.
  const bool out = read.state == JournalState::kCutInHeader || read.journal.takenOut ||
                   (read.journal.takingOut && read.journal.takingOut == identityOfHostsFile());
  if (!out) {
    if (SystemResult cut = journal.cutTo(read.wholeSize); !cut) {
      result.done = failedAt(TakeOutStep::kJournalFailed, cut.error());
      return result;
    }
    static_cast<TakeOutResult&>(result) = takeOutLines(journal, read.journal.lines);
    if (!result.done) return result;
  }
  result.done = removeFiles(files, journal);
  return result;
}

JournaledAppend appendJournaled(JournalFile& journal, std::string_view entry) {
  const std::string_view line = entry.substr(0, entry.find('\0'));
  JournaledAppend result{appendSessionLine(line, [&journal, line](LineStart start) {
    return errorCodeOf(journal.appended(line, start));
  })};
  if (!result.appended && result.appended.error().step == AppendStep::kWriteFailed)
    result.unrecorded = errorCodeOf(journal.appendFailed());
  return result;
}

}  // namespace varnick
