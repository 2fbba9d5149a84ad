#include "status/status_json.h"

#include <gtest/gtest.h>

#include "hosts/session_journal.h"

namespace varnick::control {
namespace {

TEST(StatusJson, OneLineWithEveryFactThatTheLinesSay) {
  StatusFacts quiet;
  quiet.server = Running::kHidden;
  quiet.tempFolder = "C:\\Temp";
  quiet.service = ServiceFact{};

  StatusFacts busy;
  busy.hostsFile = FileFact{"C:\\etc\\hosts", 27};
  busy.server = Running::kUnknown;
  busy.serverError = 5;
  busy.service = ServiceFact{42, "names under .test", "", {"VM\\root (process 7): ::1 a.test"}};
  const std::string journal = journalHeader("2026-12-07 13:25:03") +
                              appendedRecord("10.0.0.1 a.test", LineStart::kOwnLine) +
                              appendedRecord("10.0.0.2 b\x0b.test", LineStart::kOwnLine);
  busy.journals = {
      {{"C:\\etc\\j.journal", 88}, {"C:\\etc\\j.backup", std::nullopt}, false, journal, 0},
      {{"C:\\etc\\k.journal", 9}, {"C:\\etc\\k.backup", 1200}, true, std::nullopt, 32}};
  busy.backupsAlone = {{"C:\\etc\\old.backup", 3}};
  busy.tempFolder = "C:\\Temp";
  busy.tempListError = 0;
  busy.tempCopies = 2;
  busy.tempBytes = 3000;
  busy.log = FileFact{"C:\\L\\varnick.log", std::nullopt};

  StatusFacts unasked = quiet;
  unasked.service = ServiceFact{42, "", "the pipe is not the service's", {}};
  unasked.sessionFilesError = 5;
  unasked.tempListError = 3;

  // Linux, as a user other than root sees it: the journal named, not read.
  StatusFacts onLinux;
  onLinux.system = StatusSystem::kLinux;
  onLinux.hostsFile = FileFact{"/etc/hosts", 82};
  onLinux.hostsFileMounted = true;
  onLinux.server = Running::kHidden;
  onLinux.journalsOpened = false;
  onLinux.journals = {{{"/etc/j.journal", 88}, {}, false, std::nullopt, 13}};
  onLinux.log = FileFact{"/var/log/varnick.log", 752};

  const std::pair<StatusFacts, std::string> cases[] = {
      {quiet,
       R"({"hosts_file":null,"server":"hidden","server_error":null,)"
       R"("service":{"running":false,"process":null,"policy":null,"error":null,"holders":[]},)"
       R"("sessions":[],"session_files_error":null,"backups_without_journal":[],)"
       R"("temporary_copies":{"folder":"C:\\Temp","count":0,"bytes":0,"error":null},)"
       R"("log":null})"
       "\n"},
      {busy,
       R"({"hosts_file":{"path":"C:\\etc\\hosts","size":27},"server":"unknown","server_error":5,)"
       R"("service":{"running":true,"process":42,"policy":"names under .test","error":null,)"
       R"("holders":["VM\\root (process 7): ::1 a.test"]},)"
       R"("sessions":[{"running":false,"started":"2026-12-07 13:25:03",)"
       R"("entries":["10.0.0.1 a.test","10.0.0.2 b\u000b.test"],)"
       R"("journal":{"path":"C:\\etc\\j.journal","size":88},"journal_problem":null,)"
       R"("backup":null},)"
       R"({"running":true,"started":null,"entries":[],)"
       R"("journal":{"path":"C:\\etc\\k.journal","size":9},"journal_problem":"error 32",)"
       R"("backup":{"path":"C:\\etc\\k.backup","size":1200}}],)"
       R"("session_files_error":null,)"
       R"("backups_without_journal":[{"path":"C:\\etc\\old.backup","size":3}],)"
       R"("temporary_copies":{"folder":"C:\\Temp","count":2,"bytes":3000,"error":null},)"
       R"("log":{"path":"C:\\L\\varnick.log","size":null}})"
       "\n"},
      {unasked, R"({"hosts_file":null,"server":"hidden","server_error":null,)"
                R"("service":{"running":true,"process":42,"policy":null,)"
                R"("error":"the pipe is not the service's","holders":[]},)"
                R"("sessions":[],"session_files_error":5,"backups_without_journal":[],)"
                R"("temporary_copies":{"folder":"C:\\Temp","count":0,"bytes":0,"error":3},)"
                R"("log":null})"
                "\n"},
      {onLinux, R"({"hosts_file":{"path":"/etc/hosts","size":82},"hosts_file_mounted":true,)"
                R"("server":"hidden","server_error":null,"service":null,)"
                R"("sessions":[{"running":null,"started":null,"entries":[],)"
                R"("journal":{"path":"/etc/j.journal","size":88},"journal_problem":"error 13",)"
                R"("backup":null}],"session_files_error":null,"backups_without_journal":[],)"
                R"("temporary_copies":null,"log":{"path":"/var/log/varnick.log","size":752}})"
                "\n"},
  };
  for (const auto& [facts, json] : cases)
    EXPECT_EQ(statusJson(facts), json);
}

}  // namespace
}  // namespace varnick::control
