// The file that the session's Varnick keeps beside the hosts file: the
// journal of the lines it appended, from which it takes them out again at
// its end, or a later recovery does after an interruption. Only administrators
// may change that folder, and the names hold 128 random bits.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/expected.h"
#include "base/unique_resource.h"
#include "hosts/hosts_file.h"
#include "hosts/session_journal.h"

namespace varnick {

// How a session's files are named beside the hosts file, for everyone who
// looks for them: "hosts.varnick-session-<32 hexadecimal digits>" followed
// by one of the suffixes.
constexpr wchar_t kSessionStem[] = L".varnick-session-";  // after "hosts"
constexpr wchar_t kSessionBackupSuffix[] = L".backup";
constexpr wchar_t kSessionJournalSuffix[] = L".journal";
constexpr wchar_t kSessionBackups[] = L"hosts.varnick-session-*.backup";  // older Varnicks'
constexpr wchar_t kSessionJournals[] = L"hosts.varnick-session-*.journal";

// A session's files. Sessions now keep a journal alone; the backup is
// named so that one left by an older Varnick goes with its journal.
struct SessionFiles {
  std::wstring backup;
  std::wstring journal;
};

// Names for a new session's journal; nothing when the system gives no
// random bits.
std::optional<SessionFiles> nameSessionFiles();

// A session's journal, open for as long as its session or its recovery
// runs: it is made or opened with no sharing but reading, so that another
// Varnick that meets it while its session runs knows to leave it alone.
// Every record is written and flushed through the handle before the change
// to the hosts file that it stands for.
class JournalFile {
 public:
  // Makes the journal new with its header.
  SystemResult create(const std::wstring& path, std::string_view started);
  // Opens an interrupted session's journal and reads it; the failure is the
  // error code, ERROR_SHARING_VIOLATION when a running Varnick holds it, or
  // kErrorIsLink.
  SystemResult openExisting(const std::wstring& path, std::string& content);

  // The records, each done or the error code. `appended` records an
  // entry before its line goes into the hosts file (and the line as this
  // process knows it); `appendFailed` says it did not go in after all.
  // Cuts the journal after its first `size` bytes: a record that a crash
  // cut short goes before new records follow.
  SystemResult cutTo(std::uint64_t size);
  SystemResult appended(std::string_view entry, LineStart start);
  SystemResult appendFailed();
  SystemResult takingOut(std::string_view newFileIdentity);
  SystemResult takenOut();

  // The lines that this process recorded as appended, in order.
  const std::vector<JournalLine>& lines() const { return lines_; }
  // Lets the file go; it stays for a recovery.
  void close() { file_.reset(); }
  // Removes the journal through its handle, so that no other Varnick can
  // take it for an interrupted session's in between, and lets it go (either
  // way).
  SystemResult removeAndClose();

 private:
  SystemResult writeFlushed(const std::string& bytes);
  UniqueFile file_;
  std::vector<JournalLine> lines_;
};

// What a journaled append did: the append, and the error of the record that
// its line did not go in after all (0 when none was needed or it was
// written).
struct JournaledAppend {
  AppendResult appended;
  DWORD unrecorded = ERROR_SUCCESS;
};

// A session's or a service connection's append: `journal` records the entry,
// flushed, before its line goes in, so that a power cut at any instant
// leaves no line that the journal does not name, and records a line that
// did not go in after all. Written as appended: up to the entry's first
// zero byte.
[[nodiscard]] JournaledAppend appendJournaled(JournalFile& journal, std::string_view entry);

// Removes a plain file of a session through its handle; the failure is the
// error code (kErrorIsLink when a link stands at the name; it is left).
SystemResult removeSessionFile(const std::wstring& path);

// The sessions whose journals lie beside the hosts file, running or not; the
// error code when the folder cannot be listed.
SystemResult findSessionJournals(std::vector<SessionFiles>& found);

enum class TakeOutStep {
  kInUse,              // the journal of a running session: left alone
  kJournalUnreadable,  // not a plain file, or not a journal: left as it is
  kLockFailed,         // the write lock
  kReadFailed,         // the hosts file could not be read
  kReplaceFailed,      // the new hosts file could not be written or swapped in
  kJournalFailed,      // the journal could not be written
  kKeptChanging,  // another program wrote to the hosts file during every round (kRebuildRounds)
  kFilesKept,     // the hosts file is right, but the journal or backup (path) could not go
};

// What a take-out did: the lines it took out and those no longer there,
// which stand even when a step after the swap failed (the journal's last
// record, the removal of its files), and whether it got done.
struct [[nodiscard]] TakeOutResult {
  LineRemoval removal;
  Expected<void, StepFailure<TakeOutStep>> done;
};

// Takes `lines` out of the hosts file, each as a whole line, under the
// write lock and with the same atomic replacement as `del`. The journal
// records the new file before the swap and the end after it, so a recovery
// cut off anywhere neither misses a line nor takes out a line twice.
[[nodiscard]] TakeOutResult takeOutLines(JournalFile& journal,
                                         const std::vector<JournalLine>& lines);

// As takeOutLines, but tries again for up to `boundMs` while another process
// holds the hosts file open (an editor, an antivirus); `waiting` hears the
// first time with the error.
[[nodiscard]] TakeOutResult takeOutLinesWithin(JournalFile& journal,
                                               const std::vector<JournalLine>& lines,
                                               std::uint32_t boundMs,
                                               const std::function<void(DWORD)>& waiting);

struct [[nodiscard]] RecoveryResult : TakeOutResult {
  std::string started;  // when the session started, from its journal
};

// Puts right the session whose journal is `files.journal` unless it is
// running: takes its lines out of the hosts file (none when its journal says
// they are out already, or when it was cut in its header), then removes the
// journal and any backup of it.
[[nodiscard]] RecoveryResult recoverSession(const SessionFiles& files);

}  // namespace varnick
