// The Linux half's session files beside the hosts file: the journal of the
// lines it appended (the same records as on Windows, so that a recovery
// reads both), the append itself, and the take-out of the lines at the end
// or by a later recovery. A running half holds its journal with flock for
// its whole life; a journal whose flock can be had belongs to a session that
// was cut off, and is recovered.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/unique_fd_posix.h"
#include "hosts/file_io_posix.h"
#include "hosts/hosts_file.h"
#include "hosts/hosts_places_posix.h"
#include "hosts/session_journal.h"

namespace varnick {

// How a session's journal is named beside the hosts file, as on Windows:
// "hosts.varnick-session-<32 hexadecimal digits>.journal".
constexpr char kSessionStem[] = ".varnick-session-";  // after the hosts file's name
constexpr char kSessionJournalSuffix[] = ".journal";

// The path of a new session's journal, with 128 random bits in its name;
// nothing when the system gives no random bytes.
[[nodiscard]] std::optional<std::string> nameSessionJournal(const HostsPlaces& places);

// The journals that lie beside the hosts file, running or not.
[[nodiscard]] Expected<std::vector<std::string>, Errno> findSessionJournals(
    const HostsPlaces& places);

// A session's journal, held (flock) for as long as its session or its
// recovery runs. Every record is written and flushed before the change to
// the hosts file that it stands for. Errors are errno values, 0 for none.
class JournalFile {
 public:
  // Makes the journal new (O_EXCL, 0600, root's) with its header, flushed
  // with its folder. Made under the write lock, so that no recovery, which
  // looks at journals under that lock only, meets it before it is held.
  [[nodiscard]] Errno create(const HostsPlaces& places, const std::string& path,
                             std::string_view started);
  // Opens an interrupted session's journal and reads it: 0; EWOULDBLOCK
  // when a running half holds it; ENOENT when it is gone (its session
  // removed it meanwhile); ELOOP, EINVAL or EPERM when it is a link, no
  // regular file, or not root's.
  [[nodiscard]] Errno openExisting(const std::string& path, std::string& content);

  // Cuts the journal after its first `size` bytes: a record that a crash
  // cut short goes before new records follow.
  [[nodiscard]] Errno cutTo(std::uint64_t size);
  [[nodiscard]] Errno appended(std::string_view entry, LineStart start);
  [[nodiscard]] Errno appendFailed();
  [[nodiscard]] Errno takingOut(std::string_view newFileIdentity);
  [[nodiscard]] Errno rewriting(std::string_view copyName);
  [[nodiscard]] Errno takenOut();

  // The lines that this process recorded as appended, in order.
  const std::vector<JournalLine>& lines() const { return lines_; }
  const std::string& path() const { return path_; }
  // Lets the journal go; it stays for a recovery.
  void close() { file_.reset(); }
  // Removes the journal, then lets it go: 0 or the errno (let go either way).
  [[nodiscard]] Errno removeAndClose();

 private:
  Errno writeFlushed(const std::string& bytes);
  UniqueFd file_;
  std::string path_;
  std::vector<JournalLine> lines_;
};

// What a journaled append did: the append; the errno of the record that its
// line did not go in after all; and that of the flush of the hosts file
// after a whole write (the line is in and journaled all the same).
struct JournaledAppend {
  AppendResult appended;
  Errno unrecorded = 0;
  Errno unflushed = 0;
};

// A session's append, under the write lock: the journal records the entry,
// flushed, before its line (the entry and LF, after an LF of its own when
// the file does not end in one) goes in. The entry is `received` up to its
// first zero byte; one with a CR or an LF is refused (kWriteFailed, EINVAL)
// before anything is written, since it would make lines that no take-out
// finds.
[[nodiscard]] JournaledAppend appendJournaled(const HostsPlaces& places, JournalFile& journal,
                                              std::string_view received);

enum class TakeOutStep {
  kDone,
  kInUse,              // the journal of a running session (or gone): left alone
  kJournalUnreadable,  // a link, not root's, or not a journal: left as it is
  kLockFailed,         // the write lock
  kReadFailed,         // the hosts file, or the copy of an in-place rewrite, could not be read
  kReplaceFailed,      // the new hosts file could not be written or swapped in, or written over
  kJournalFailed,      // the journal could not be written
  kKeptChanging,       // another program wrote to the hosts file during every round
  kFilesKept,          // the hosts file is right, but the journal or the copy (file) could not go
};

// How the hosts file was changed, for those who say so.
enum class HostsChange {
  kNone,              // no line of the session was left in it
  kReplaced,          // a new file renamed over it
  kRewrittenInPlace,  // written over where no rename could replace it (a mount point)
};

struct [[nodiscard]] TakeOutResult {
  TakeOutStep step = TakeOutStep::kDone;
  Errno error = 0;      // for kKeptChanging, the number of rounds run
  std::string file;     // the file the step concerns, where it is not the hosts file
  LineRemoval removal;  // the lines taken out and those no longer there
  HostsChange change = HostsChange::kNone;
  bool done() const { return step == TakeOutStep::kDone; }
};

// Takes `lines` out of the hosts file, each as a whole line, under the write
// lock: a new file, with the hosts file's owner, mode and extended
// attributes, renamed over it; where the hosts file is a mount point of its
// own (rename: EBUSY), written over in place after a copy of its content is
// kept. The journal records each step before it is taken, and the end.
[[nodiscard]] TakeOutResult takeOutLines(const HostsPlaces& places, JournalFile& journal,
                                         const std::vector<JournalLine>& lines);

struct [[nodiscard]] RecoveryResult : TakeOutResult {
  std::string started;  // when the session started, from its journal
};

// Puts right the session whose journal is at `journalPath`, unless it is
// running: takes its lines out (none when its journal says they are out
// already), finishes an in-place rewrite that was cut off, then removes the
// journal.
[[nodiscard]] RecoveryResult recoverSession(const HostsPlaces& places,
                                            const std::string& journalPath);

}  // namespace varnick
