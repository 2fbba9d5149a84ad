// The files that the session's Varnick keeps beside the hosts file: the
// backup it restores at the end, and the journal of the lines it appended,
// from which an interrupted session is put right later. Only administrators
// may change that folder, and the names hold 128 random bits.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/unique_resource.h"
#include "hosts/session_journal.h"

namespace varnick {

// How a session's files are named beside the hosts file, for everyone who
// looks for them: "hosts.varnick-session-<32 hexadecimal digits>" followed
// by one of the suffixes.
constexpr wchar_t kSessionStem[] = L".varnick-session-";  // after "hosts"
constexpr wchar_t kSessionBackupSuffix[] = L".backup";
constexpr wchar_t kSessionJournalSuffix[] = L".journal";
constexpr wchar_t kSessionBackups[] = L"hosts.varnick-session-*.backup";
constexpr wchar_t kSessionJournals[] = L"hosts.varnick-session-*.journal";

struct SessionFiles {
  std::wstring backup;
  std::wstring journal;
};

// Names for a new session's backup and journal; nothing when the system
// gives no random bits.
std::optional<SessionFiles> nameSessionFiles();

// The journal being written: made new, and every record written and flushed
// through the handle that made it, before the reply that it stands for.
class JournalFile {
 public:
  // 0 or the error code.
  DWORD create(const std::wstring& path, std::string_view started);
  DWORD append(std::string_view entry);
  // Lets the file go, so that it can be removed.
  void close() { file_.reset(); }

 private:
  DWORD writeFlushed(const std::string& bytes);
  UniqueFile file_;
};

// Removes a plain file of a session through its handle: 0, or the error
// code (kErrorIsLink when a link stands at the name; it is left).
DWORD removeSessionFile(const std::wstring& path);

// The sessions whose journals lie beside the hosts file.
std::vector<SessionFiles> findSessionJournals();

enum class RecoveryStep {
  kDone,
  kJournalUnreadable,  // not a plain file, or not a journal: left as it is
  kLockFailed,         // the write lock
  kReadFailed,         // the hosts file could not be read
  kReplaceFailed,      // the new hosts file could not be written or swapped in
  kKeptChanging,       // another program wrote to the hosts file during every round
  kFilesKept,          // the hosts file is right, but backup or journal could not go
};

struct RecoveryResult {
  RecoveryStep step = RecoveryStep::kDone;
  DWORD error = 0;  // the platform's error code; for kKeptChanging the rounds run
  SessionJournal journal;
  LineRemoval removal;  // the lines taken out and those no longer there
};

// Takes the lines in `files.journal` out of the hosts file, under the write
// lock and with the same atomic replacement as `del`, then removes the backup
// and the journal. The caller holds the serving lock, so the session that
// wrote them has ended.
[[nodiscard]] RecoveryResult recoverSession(const SessionFiles& files);

}  // namespace varnick
