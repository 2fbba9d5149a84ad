// A session's journal beside the hosts file (its records in
// session_journal.h), open for as long as its session or its recovery runs
// and held so that no other Varnick takes it for an interrupted session's.
// Every record is written and flushed before the change to the hosts file
// that it stands for.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "hosts/hosts_store.h"
#include "hosts/session_journal.h"

namespace varnick {

// How a session's journal is named beside the hosts file:
// "<hosts file's name>.varnick-session-<32 hexadecimal digits>.journal".
// An older Varnick's session may have left a backup of the same stem.
constexpr std::string_view kSessionStem = ".varnick-session-";
constexpr std::string_view kSessionJournalSuffix = ".journal";
constexpr std::string_view kSessionBackupSuffix = ".backup";

// Whether `name` is a session journal's name beside the hosts file `hostsName`.
[[nodiscard]] bool isSessionJournalName(std::string_view name, std::string_view hostsName);

// The name of the backup that an older Varnick kept beside `journalName`.
[[nodiscard]] std::string backupNameOf(std::string_view journalName);

// A new session's journal name, with 128 random bits in it.
[[nodiscard]] StoreResult<std::string> nameSessionJournal(HostsStore& store);

// The session journals that lie beside the hosts file, running or not.
[[nodiscard]] StoreResult<std::vector<std::string>> findSessionJournals(HostsStore& store);

class JournalFile {
 public:
  // Makes the journal `name` new with its header, flushed with its folder.
  // The store makes it held from the start (hosts_store.h), so a recovery
  // never meets it before its session holds it.
  [[nodiscard]] StoreResult<void> create(HostsStore& store, const std::string& name,
                                         std::string_view started);
  // Opens an interrupted session's journal and reads it (the store's
  // openJournal says why it cannot).
  [[nodiscard]] StoreResult<std::string> openExisting(HostsStore& store, const std::string& name);

  // Cuts the journal after its first `size` bytes: a record that a crash
  // cut short goes before new records follow.
  [[nodiscard]] StoreResult<void> cutTo(std::uint64_t size);
  // The records (session_journal.h). `appended` also keeps the line as
  // this process knows it; `appendFailed` takes it back.
  [[nodiscard]] StoreResult<void> appended(std::string_view entry, LineStart start);
  [[nodiscard]] StoreResult<void> appendFailed();
  [[nodiscard]] StoreResult<void> takingOut(std::string_view newFileIdentity);
  [[nodiscard]] StoreResult<void> rewriting(std::string_view copyName);
  [[nodiscard]] StoreResult<void> takenOut();

  // The lines that this process recorded as appended, in order.
  const std::vector<JournalLine>& lines() const { return lines_; }
  const std::string& name() const { return name_; }
  bool isOpen() const { return file_ != nullptr; }
  // Lets the journal go; it stays for a recovery.
  void close() { file_.reset(); }
  // Removes the journal, then lets it go either way.
  [[nodiscard]] StoreResult<void> removeAndClose();

 private:
  StoreResult<void> writeFlushed(const std::string& bytes);
  OpenFile file_;
  std::string name_;
  std::vector<JournalLine> lines_;
};

}  // namespace varnick
