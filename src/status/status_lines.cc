#include "status/status_lines.h"

#include "base/error_text.h"
#include "hosts/session_journal.h"
#include "hosts/visible_text.h"

namespace varnick::control {
namespace {

std::string withSize(const FileFact& file) {
  return file.path + (file.size ? " (" + sizeText(*file.size) + ")" : " (not there)");
}

std::string errorText(unsigned long error) { return "error " + std::to_string(error); }

std::string sessionLine(const StatusFacts& facts) {
  if (!facts.journalsOpened && !facts.journals.empty()) {
    const std::size_t count = facts.journals.size();
    return "sessions: " + std::to_string(count) + (count == 1 ? " journal" : " journals") +
           " beside the hosts file; only root may open them and tell a running session from an "
           "interrupted one (sudo varnick-session --status)";
  }
  std::size_t running = 0;
  for (const JournalFact& journal : facts.journals)
    running += journal.running ? 1 : 0;
  if (running == 0) return "sessions: none is running";
  return "sessions: " + std::to_string(running) + (running == 1 ? " is" : " are") + " running";
}

std::string linuxServerLine(const StatusFacts& facts) {
  switch (facts.server) {
    case Running::kYes:
      return "server: a privileged half is serving";
    case Running::kNo:
      return "server: no privileged half is serving";
    case Running::kHidden:
      return "server: only root may see whether a privileged half is serving (its lock is in "
             "/run/varnick)";
    case Running::kUnknown:
      break;
  }
  return "server: cannot tell whether a privileged half is serving (" +
         errorText(facts.serverError) + ")";
}

std::string serverLine(const StatusFacts& facts) {
  if (facts.system == StatusSystem::kLinux) return linuxServerLine(facts);
  switch (facts.server) {
    case Running::kYes:
      return "server: a Varnick is serving (a varnick server, or a session's Varnick)";
    case Running::kNo:
      return "server: no Varnick is serving";
    case Running::kHidden:
      return "server: a varnick server started by hand cannot be seen from a prompt that is not "
             "elevated";
    case Running::kUnknown:
      break;
  }
  return "server: cannot tell whether a Varnick is serving (" + errorText(facts.serverError) + ")";
}

// A journal, its entries and its files. While a session runs, the journal
// is most likely its own; otherwise it is an interrupted session's.
void addJournalLines(const JournalFact& fact, std::vector<std::string>& lines) {
  const std::string what = fact.running ? "running session" : "interrupted session";
  const JournalReading reading = readJournalFact(fact);
  if (reading.started) {
    const std::size_t count = reading.entries.size();
    lines.push_back(what + ": started " + *reading.started + ", " + std::to_string(count) +
                    (count == 1 ? " entry" : " entries") + " in the hosts file");
    for (const std::string& entry : reading.entries)
      lines.push_back("  entry: " + visibleText(entry));
  } else {
    lines.push_back(what + ": its journal cannot be read (" + reading.problem + ")");
  }
  lines.push_back("  journal: " + withSize(fact.journal));
  if (fact.backup.size) lines.push_back("  backup: " + withSize(fact.backup));
  if (!fact.running)
    lines.push_back("  to take its entries out of the hosts file, run: varnick-session --recover");
}

std::string serviceLine(const ServiceFact& service) {
  if (service.process == 0) return "not running (varnick service install, elevated, sets it up)";
  const std::string running = "running (process " + std::to_string(service.process) + ")";
  if (!service.error.empty()) return running + ", but " + service.error;
  return running + "; allows " + service.policy;
}

}  // namespace

std::string sizeText(std::uint64_t bytes) {
  constexpr std::uint64_t kUnit = 1024;
  if (bytes < kUnit) return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
  const char* const units[] = {"KB", "MB", "GB", "TB"};
  std::size_t unit = 0;
  std::uint64_t size = kUnit;
  std::uint64_t tenths = 0;
  for (;;) {
    // Rounded, and split so that no multiplication can overflow.
    tenths = bytes / size * 10 + (bytes % size * 10 + size / 2) / size;
    // 1023.96 KB reads as 1.0 MB, not as 1024.0 KB.
    if (tenths < kUnit * 10 || unit + 1 == std::size(units)) break;
    size *= kUnit;
    ++unit;
  }
  return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " " + units[unit];
}

JournalReading readJournalFact(const JournalFact& fact) {
  if (!fact.bytes) return {std::nullopt, {}, errorText(fact.readError)};
  JournalRead read = readJournal(*fact.bytes);
  if (read.state != JournalState::kJournal) return {std::nullopt, {}, "not a session journal"};
  JournalReading reading{read.journal.started, {}, {}};
  if (!read.journal.takenOut) {
    for (const JournalLine& line : read.journal.lines)
      reading.entries.push_back(line.entry);
  }
  return reading;
}

std::vector<std::string> statusLines(const StatusFacts& facts) {
  std::vector<std::string> lines;
  lines.push_back(facts.hostsFile
                      ? "hosts file: " + withSize(*facts.hostsFile)
                      : "hosts file: cannot be found through the registry value DataBasePath");
  if (facts.hostsFileMounted) {
    lines.emplace_back(
        "  a mount point of its own (bind-mounted, as in a container): a take-out rewrites it "
        "in place, after a copy of it is kept beside it");
  }
  lines.push_back(sessionLine(facts));
  lines.push_back(serverLine(facts));
  if (facts.service) {
    lines.push_back("Varnick service: " + serviceLine(*facts.service));
    for (const std::string& holder : facts.service->holders)
      lines.push_back("  held through it by " + visibleText(holder));
  }
  bool interrupted = false;
  for (const JournalFact& journal : facts.journals) {
    if (!facts.journalsOpened) {
      lines.push_back("  journal: " + withSize(journal.journal));
      continue;
    }
    addJournalLines(journal, lines);
    interrupted = interrupted || !journal.running;
  }
  if (facts.sessionFilesError != 0) {
    lines.push_back(
        withCode("interrupted sessions: the files beside the hosts file cannot be listed",
                 facts.sessionFilesError));
  } else if (!interrupted && (facts.journalsOpened || facts.journals.empty())) {
    lines.emplace_back("interrupted sessions: none");
  }
  for (const FileFact& backup : facts.backupsAlone)
    lines.push_back("session backup without its journal: " + withSize(backup));
  if (facts.system == StatusSystem::kLinux) {
    if (facts.log) lines.push_back("varnick.log: " + withSize(*facts.log));
    return lines;
  }
  if (facts.tempListError != 0) {
    lines.push_back(
        withCode("temporary copies from varnick del: cannot be listed in " + facts.tempFolder,
                 facts.tempListError));
  } else if (facts.tempCopies == 0) {
    lines.push_back("temporary copies from varnick del: none in " + facts.tempFolder);
  } else {
    lines.push_back("temporary copies from varnick del: " + std::to_string(facts.tempCopies) +
                    " in " + facts.tempFolder + ", " + sizeText(facts.tempBytes) + " in all");
    lines.emplace_back(
        "  varnick del leaves one each time; other programs may name files so too: look at "
        "them (dir \"%TEMP%\\hos*.tmp\") before deleting any");
  }
  lines.push_back(facts.log ? "varnick.log: " + withSize(*facts.log)
                            : "varnick.log: cannot be found: LOCALAPPDATA is not set");
  return lines;
}

}  // namespace varnick::control
