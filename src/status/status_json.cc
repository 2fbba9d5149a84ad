#include "status/status_json.h"

#include <vector>

#include "base/json_text.h"

namespace varnick::control {
namespace {

// A field, its name quoted, for an object's body.
std::string field(const char* name, const std::string& value) {
  return jsonString(name) + ":" + value;
}

std::string object(const std::vector<std::string>& fields) {
  std::string body;
  for (const std::string& f : fields)
    body += (body.empty() ? "" : ",") + f;
  return "{" + body + "}";
}

// The items as a JSON array, each written by `write`.
template <typename Item, typename Write>
std::string list(const std::vector<Item>& items, Write write) {
  std::string body;
  for (const Item& item : items)
    body += (body.empty() ? "" : ",") + write(item);
  return "[" + body + "]";
}

std::string strings(const std::vector<std::string>& texts) {
  return list(texts, [](const std::string& text) { return jsonString(text); });
}

// A Windows error code; null for none.
std::string errorCode(unsigned long error) { return error == 0 ? "null" : std::to_string(error); }

std::string file(const FileFact& fact) {
  return object({field("path", jsonString(fact.path)),
                 field("size", fact.size ? std::to_string(*fact.size) : "null")});
}

std::string file(const std::optional<FileFact>& fact) { return fact ? file(*fact) : "null"; }

std::string serverState(Running server) {
  switch (server) {
    case Running::kYes:
      return "serving";
    case Running::kNo:
      return "not-serving";
    case Running::kHidden:
      return "hidden";
    case Running::kUnknown:
      break;
  }
  return "unknown";
}

std::string service(const std::optional<ServiceFact>& fact) {
  if (!fact) return "null";
  const bool running = fact->process != 0;
  const bool answered = running && fact->error.empty();
  return object({field("running", running ? "true" : "false"),
                 field("process", running ? std::to_string(fact->process) : "null"),
                 field("policy", answered ? jsonString(fact->policy) : "null"),
                 field("error", fact->error.empty() ? "null" : jsonString(fact->error)),
                 field("holders", strings(fact->holders))});
}

std::string session(const JournalFact& fact, bool opened) {
  const JournalReading reading = readJournalFact(fact);
  return object({field("running", !opened        ? "null"
                                  : fact.running ? "true"
                                                 : "false"),
                 field("started", reading.started ? jsonString(*reading.started) : "null"),
                 field("entries", strings(reading.entries)), field("journal", file(fact.journal)),
                 field("journal_problem", reading.started ? "null" : jsonString(reading.problem)),
                 field("backup", fact.backup.size ? file(fact.backup) : "null")});
}

std::string temporaryCopies(const StatusFacts& facts) {
  return object({field("folder", jsonString(facts.tempFolder)),
                 field("count", std::to_string(facts.tempCopies)),
                 field("bytes", std::to_string(facts.tempBytes)),
                 field("error", errorCode(facts.tempListError))});
}

}  // namespace

std::string statusJson(const StatusFacts& facts) {
  const auto fileOf = [](const FileFact& fact) { return file(fact); };
  const auto sessionOf = [&facts](const JournalFact& fact) {
    return session(fact, facts.journalsOpened);
  };
  const bool onLinux = facts.system == StatusSystem::kLinux;
  std::vector<std::string> fields = {
      field("hosts_file", file(facts.hostsFile)),
      field("server", jsonString(serverState(facts.server))),
      field("server_error", errorCode(facts.server == Running::kUnknown ? facts.serverError : 0)),
      field("service", service(facts.service)),
      field("sessions", list(facts.journals, sessionOf)),
      field("session_files_error", errorCode(facts.sessionFilesError)),
      field("backups_without_journal", list(facts.backupsAlone, fileOf)),
      field("temporary_copies", onLinux ? "null" : temporaryCopies(facts)),
      field("log", file(facts.log))};
  // Linux's own fact, after the hosts file it is about.
  if (onLinux)
    fields.insert(fields.begin() + 1,
                  field("hosts_file_mounted", facts.hostsFileMounted ? "true" : "false"));
  return object(fields) + "\n";
}

}  // namespace varnick::control
