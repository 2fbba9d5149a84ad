#include "hosts/session_files_win32.h"

#include <ntsecapi.h>

#include "base/file_identity_win32.h"
#include "base/file_io_win32.h"
#include "hosts/hosts_file_state_win32.h"
#include "hosts/hosts_location.h"
#include "hosts/hosts_lock_win32.h"
#include "hosts/new_hosts_file_win32.h"
#include "hosts/system_clock_win32.h"

namespace varnick {
namespace {

// Appends that keep landing in the instant before the swap are not waited
// out for ever.
constexpr int kRecoveryRounds = 5;

std::optional<std::wstring> randomHex() {
  unsigned char bytes[16];
  if (!RtlGenRandom(bytes, sizeof bytes)) return std::nullopt;
  std::wstring hex;
  for (unsigned char b : bytes) {
    hex += L"0123456789abcdef"[b >> 4];
    hex += L"0123456789abcdef"[b & 15];
  }
  return hex;
}

SessionFiles filesNamed(const std::wstring& name) {
  std::wstring stem = besideHostsFile(kSessionStem) + name;
  return {stem + kSessionBackupSuffix, stem + kSessionJournalSuffix};
}

std::optional<SessionJournal> readJournal(const std::wstring& path, DWORD& error) {
  UniqueFile file;
  std::string content;
  if ((error = openPlainFileForReading(path.c_str(), file)) != ERROR_SUCCESS ||
      (error = readAll(file.get(), content)) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  std::optional<SessionJournal> journal = parseJournal(content);
  if (!journal) error = ERROR_INVALID_DATA;
  return journal;
}

enum class Round { kDone, kStale, kFailed };

// One round: reads the hosts file while keeping writers out, writes it anew
// without the journal's lines, and swaps it in unless another program wrote
// to it in the instant after it was let go.
Round recoverOnce(const SessionJournal& journal, RecoveryResult& result) {
  SystemClock clock;
  UniqueFile hosts = openHostsFileForRebuild(clock);
  std::string content;
  DWORD error = hosts ? readAll(hosts.get(), content) : GetLastError();
  if (error != ERROR_SUCCESS) {
    result.step = RecoveryStep::kReadFailed;
    result.error = error;
    return Round::kFailed;
  }
  result.removal = removeJournalLines(std::move(content), journal.lines);
  if (result.removal.removed.empty()) return Round::kDone;
  NewHostsFile replacement;
  const std::string& rebuilt = result.removal.hosts;
  if ((error = replacement.create()) != ERROR_SUCCESS ||
      (error = replacement.write(rebuilt.data(), static_cast<DWORD>(rebuilt.size()))) !=
          ERROR_SUCCESS) {
    result.step = RecoveryStep::kReplaceFailed;
    result.error = error;
    return Round::kFailed;
  }
  std::optional<FileState> asRead = stateOf(hosts.get());
  hosts.reset();
  CommitResult committed =
      replacement.commit(clock, [&asRead] { return asRead && stateOfHostsFile() == asRead; });
  if (committed.stage == CommitStage::kDone) return Round::kDone;
  if (committed.stage == CommitStage::kStale) return Round::kStale;
  result.step = RecoveryStep::kReplaceFailed;
  result.error = committed.error;
  return Round::kFailed;
}

}  // namespace

std::optional<SessionFiles> nameSessionFiles() {
  std::optional<std::wstring> name = randomHex();
  if (!name) return std::nullopt;
  return filesNamed(*name);
}

DWORD JournalFile::create(const std::wstring& path, std::string_view started) {
  file_.reset(CreateFileW(path.c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr,
                          CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file_) return GetLastError();
  return writeFlushed(journalHeader(started));
}

DWORD JournalFile::append(std::string_view entry) { return writeFlushed(journalRecord(entry)); }

DWORD JournalFile::writeFlushed(const std::string& bytes) {
  if (DWORD error = writeAll(file_.get(), bytes.data(), static_cast<DWORD>(bytes.size())))
    return error;
  return FlushFileBuffers(file_.get()) ? ERROR_SUCCESS : GetLastError();
}

DWORD removeSessionFile(const std::wstring& path) {
  return removePlainFile(fullLongPath(path.c_str()));
}

std::vector<SessionFiles> findSessionJournals() {
  std::vector<SessionFiles> found;
  std::wstring pattern = besideHostsFile(kSessionStem) + L"*" + kSessionJournalSuffix;
  WIN32_FIND_DATAW data;
  HANDLE search = FindFirstFileW(pattern.c_str(), &data);
  if (search == INVALID_HANDLE_VALUE) return found;
  const std::wstring prefix = std::wstring(L"hosts") + kSessionStem;
  const std::size_t suffix = std::wstring(kSessionJournalSuffix).size();
  do {
    std::wstring name = data.cFileName;
    if (name.size() > prefix.size() + suffix && name.compare(0, prefix.size(), prefix) == 0)
      found.push_back(filesNamed(name.substr(prefix.size(), name.size() - prefix.size() - suffix)));
  } while (FindNextFileW(search, &data));
  FindClose(search);
  return found;
}

RecoveryResult recoverSession(const SessionFiles& files) {
  RecoveryResult result;
  std::optional<SessionJournal> journal = readJournal(files.journal, result.error);
  if (!journal) {
    result.step = RecoveryStep::kJournalUnreadable;
    return result;
  }
  result.journal = std::move(*journal);
  HostsLock lock(HostsLock::Kind::kWrite);
  if (DWORD error = lock.take(kWriteLockWaitMs)) {
    result.step = RecoveryStep::kLockFailed;
    result.error = error;
    return result;
  }
  Round round = Round::kStale;
  for (int i = 0; i < kRecoveryRounds && round == Round::kStale; ++i)
    round = recoverOnce(result.journal, result);
  if (round == Round::kStale) {
    result.step = RecoveryStep::kKeptChanging;
    result.error = kRecoveryRounds;
  }
  if (round != Round::kDone) return result;
  // The journal goes last: while it is there, the next try starts over.
  DWORD error = removeSessionFile(files.backup);
  if (error == ERROR_SUCCESS) error = removeSessionFile(files.journal);
  if (error != ERROR_SUCCESS) {
    result.step = RecoveryStep::kFilesKept;
    result.error = error;
  }
  return result;
}

}  // namespace varnick
