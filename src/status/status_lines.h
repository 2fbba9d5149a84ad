// How varnick-session --status puts what it found into words.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace varnick::control {

// A size for people: "27 bytes", "1 byte", "12.3 KB", "4.0 MB" (units of 1024).
std::string sizeText(std::uint64_t bytes);

// What varnick-session --status found. Paths are UTF-8; a size is nothing
// when the file is not there.
struct FileFact {
  std::string path;
  std::optional<std::uint64_t> size;
};

// Whether something runs: kHidden when this process may not look.
enum class Running { kYes, kNo, kUnknown, kHidden };

struct JournalFact {
  FileFact journal;
  FileFact backup;       // the backup of the same session, kept by an older Varnick
  bool running = false;  // a Varnick holds it open: its session runs, or is being put right
  std::optional<std::string> bytes;  // the journal's content, when it could be read
  unsigned long readError = 0;       // why it could not, when it could not
};

// The Varnick service, as it says itself.
struct ServiceFact {
  unsigned long process = 0;         // its process id; 0 when it does not run
  std::string policy;                // what its policy allows, in words, when it answered
  std::string error;                 // why it could not be asked, when it runs
  std::vector<std::string> holders;  // "VM\\root (process 42): 127.0.0.1 a.test"
};

// Whose facts: Linux has no service, no temporary copies and no log of the
// user's own, and its words name the privileged half and root.
enum class StatusSystem { kWindows, kLinux };

struct StatusFacts {
  StatusSystem system = StatusSystem::kWindows;
  std::optional<FileFact> hostsFile;  // nothing when DataBasePath does not lead to it
  // Linux: the hosts file is a mount point of its own (bind-mounted, as in a
  // container), so a take-out rewrites it in place rather than replace it.
  bool hostsFileMounted = false;
  // Linux: the journals could be opened, to read them and to tell whether a
  // half holds them; only root may (they are root's alone).
  bool journalsOpened = true;
  Running server = Running::kUnknown;
  unsigned long serverError = 0;  // when kUnknown
  std::vector<JournalFact> journals;
  std::vector<FileFact> backupsAlone;   // session backups whose journal is gone
  unsigned long sessionFilesError = 0;  // the session files could not be listed
  std::string tempFolder;
  unsigned long tempListError = 0;  // the temporary copies could not be listed
  std::size_t tempCopies = 0;
  std::uint64_t tempBytes = 0;
  std::optional<FileFact> log;         // nothing when LOCALAPPDATA is not set
  std::optional<ServiceFact> service;  // nothing: not looked at
};

// What --status tells of a journal, read with readJournal: when its session
// started and the entries it has in the hosts file (none once taken out);
// or, when it cannot be read, why.
struct JournalReading {
  std::optional<std::string> started;  // nothing when it cannot be read
  std::vector<std::string> entries;    // as the session added them
  std::string problem;                 // "not a session journal", or the error
};
JournalReading readJournalFact(const JournalFact& fact);

// The report, one fact a line; details of a fact are indented under it.
// A journal is read with readJournalFact; one that no Varnick holds open is an
// interrupted session's, and the lines say how to take its entries out.
std::vector<std::string> statusLines(const StatusFacts& facts);

}  // namespace varnick::control
