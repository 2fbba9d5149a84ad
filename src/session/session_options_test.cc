#include "session/session_options.h"

#include <gtest/gtest.h>

namespace varnick::control {
namespace {

TEST(SessionOptions, ReadsEveryOptionAndTheCommand) {
  ParsedOptions parsed =
      parseSessionOptions({L"--backup", L"C:\\b", L"--port", L"8080", L"--add", L"1.2.3.4 a.test",
                           L"--utf8", L"--varnick", L"D:\\v.exe", L"--timeout", L"5", L"--add",
                           L"5.6.7.8 b.test", L"--", L"cmd", L"--add", L"x"});
  ASSERT_TRUE(parsed.options) << parsed.error;
  const SessionOptions& o = *parsed.options;
  EXPECT_EQ(o.backupPath, L"C:\\b");
  EXPECT_EQ(o.port, 8080);
  EXPECT_EQ(o.varnickPath, L"D:\\v.exe");
  EXPECT_TRUE(o.utf8);
  EXPECT_EQ(o.connectTimeoutSeconds, 5);
  EXPECT_EQ(o.entries, (std::vector<EntrySource>{{EntrySource::Kind::kEntry, L"1.2.3.4 a.test"},
                                                 {EntrySource::Kind::kEntry, L"5.6.7.8 b.test"}}));
  // Everything after -- belongs to the command, option-like words included.
  EXPECT_EQ(o.command, (std::vector<std::wstring>{L"cmd", L"--add", L"x"}));
}

TEST(SessionOptions, DefaultsWithoutCommand) {
  ParsedOptions parsed = parseSessionOptions({L"--add", L""});
  ASSERT_TRUE(parsed.options);
  EXPECT_EQ(parsed.options->port, 0);
  EXPECT_FALSE(parsed.options->backupPath);
  EXPECT_EQ(parsed.options->entries, (std::vector<EntrySource>{{EntrySource::Kind::kEntry, L""}}));
  EXPECT_FALSE(parsed.options->holdSeconds);
  EXPECT_TRUE(parsed.options->command.empty());
}

TEST(SessionOptions, RefusesBadCommandLines) {
  const std::vector<std::vector<std::wstring>> refused = {
      {},
      {L"--", L"cmd"},
      {L"--add"},
      {L"--add", L"x", L"--"},
      {L"--add", L"x", L"--port", L"65536"},
      {L"--add", L"x", L"--port", L"-1"},
      {L"--add", L"x", L"--port", L"80abc"},
      {L"--add", L"x", L"--port", L""},
      {L"--add", L"x", L"--timeout", L"0"},
      {L"--add", L"x", L"--verbose"},
      {L"--add", L"x", L"cmd"},
      {L"--hosts-file"},
      {L"--add", L"x", L"--for", L"10m", L"--", L"cmd"},
      {L"--add", L"x", L"--for", L"soon"},
      {L"--recover", L"--add", L"x"},
      {L"--hosts-file", L"dev.hosts", L"--recover"},
      {L"--recover", L"--", L"cmd"},
      {L"--recover", L"--for", L"10m"},
      {L"--recover", L"--backup", L"C:\\b"},
      {L"--recover", L"--port", L"8080"},
      {L"--recover", L"--utf8"},
      {L"--recover", L"--raw"},
      {L"--clean", L"--add", L"x"},
      {L"--clean", L"--", L"cmd"},
      {L"--clean", L"--recover"},
  };
  for (const auto& arguments : refused) {
    ParsedOptions parsed = parseSessionOptions(arguments);
    EXPECT_FALSE(parsed.options) << arguments.size();
    EXPECT_FALSE(parsed.error.empty());
  }
}

TEST(SessionOptions, RecoverNeedsNoEntriesAndKeepsVarnickAndTimeout) {
  ParsedOptions parsed =
      parseSessionOptions({L"--timeout", L"5", L"--recover", L"--varnick", L"D:\\v.exe"});
  ASSERT_TRUE(parsed.options) << parsed.error;
  EXPECT_TRUE(parsed.options->recover);
  EXPECT_EQ(parsed.options->connectTimeoutSeconds, 5);
  EXPECT_EQ(parsed.options->varnickPath, L"D:\\v.exe");
  EXPECT_FALSE(parseSessionOptions({L"--add", L"x"}).options->recover);
  parsed = parseSessionOptions({L"--clean", L"--trust-varnick-folder", L"--varnick", L"D:\\v.exe"});
  ASSERT_TRUE(parsed.options) << parsed.error;
  EXPECT_TRUE(parsed.options->clean && parsed.options->trustVarnickFolder);
  EXPECT_FALSE(parsed.options->recover);
  EXPECT_FALSE(parseSessionOptions({L"--add", L"x"}).options->trustVarnickFolder);
}

TEST(SessionOptions, HostsFilesMixWithEntriesInOrderAndForHoldsAlone) {
  ParsedOptions parsed = parseSessionOptions({L"--hosts-file", L"dev.hosts", L"--add", L"x",
                                              L"--hosts-file", L"more.hosts", L"--for", L"30m"});
  ASSERT_TRUE(parsed.options) << parsed.error;
  EXPECT_EQ(parsed.options->entries,
            (std::vector<EntrySource>{{EntrySource::Kind::kFile, L"dev.hosts"},
                                      {EntrySource::Kind::kEntry, L"x"},
                                      {EntrySource::Kind::kFile, L"more.hosts"}}));
  EXPECT_EQ(parsed.options->holdSeconds, 1800);
}

TEST(SessionOptions, AStrayWordOrAnUnknownOptionIsAnsweredWithWhatWasMeant) {
  const std::pair<std::vector<std::wstring>, std::string> cases[] = {
      // A command whose -- was forgotten.
      {{L"--add", L"x", L"npm", L"run", L"dev", L"--", L"y"},
       "put -- before the command: varnick-session --add ... -- npm run dev"},
      {{L"--add", L"127.0.0.1 a.test", L"npm"},
       "put -- before the command: varnick-session --add ... -- npm"},
      // An entry that the shell split in two: its address, then its names.
      {{L"--add", L"127.0.0.1", L"api.test", L"--", L"cmd"},
       "quote each entry: --add \"127.0.0.1 api.test\""},
      {{L"--add", L"::1", L"a.test", L"b.test", L"--add", L"x"},
       "quote each entry: --add \"::1 a.test b.test\""},
      // The words after it make no entry, or it is no --add's value.
      {{L"--add", L"127.0.0.1", L"api test!"},
       "put -- before the command: varnick-session --add ... -- api test!"},
      {{L"--add", L"999.1.1.1", L"api.test"},
       "put -- before the command: varnick-session --add ... -- api.test"},
      {{L"--backup", L"127.0.0.1", L"api.test"},
       "put -- before the command: varnick-session --add ... -- api.test"},
      // Unknown options, with the one most likely meant.
      {{L"--add", L"x", L"/x"}, "unknown option /x"},
      {{L"--ad", L"x"}, "unknown option --ad (did you mean --add?)"},
      {{L"--add", L"x", L"--jsno"}, "unknown option --jsno (did you mean --json?)"},
      {{L"--add", L"x", L"--JSON"}, "unknown option --JSON (did you mean --json?)"},
      {{L"--add", L"x", L"-utf8"}, "unknown option -utf8 (did you mean --utf8?)"},
      {{L"--trust", L"--recover"}, "unknown option --trust (did you mean --trust-varnick-folder?)"},
      {{L"--hosts", L"x"}, "unknown option --hosts (did you mean --hosts-file?)"},
      // Nothing near, or two as near.
      {{L"--add", L"x", L"--verbose"}, "unknown option --verbose"},
      {{L"--add", L"x", L"--t"}, "unknown option --t"},
      {{L"--add", L"x", L"--fort"}, "unknown option --fort"},
  };
  for (const auto& [arguments, error] : cases)
    EXPECT_EQ(parseSessionOptions(arguments).error, error) << error;
}

TEST(SessionOptions, RawAndJsonAreFlagsAndJsonIsSeenOnARefusedLineToo) {
  ParsedOptions parsed = parseSessionOptions({L"--raw", L"--json", L"--add", L"x"});
  ASSERT_TRUE(parsed.options) << parsed.error;
  EXPECT_TRUE(parsed.options->raw && parsed.options->json && parsed.json);
  EXPECT_TRUE(parseSessionOptions({L"--json", L"--bogus"}).json);
  EXPECT_TRUE(parseSessionOptions({L"--json", L"--recover"}).options);
  EXPECT_FALSE(parseSessionOptions({L"--add", L"x", L"--", L"tool", L"--json"}).json);
}

TEST(SessionOptions, HelpVersionAndStatusAskForTextBeforeAnythingElse) {
  EXPECT_EQ(parseSessionOptions({L"--help"}).request, ParsedOptions::Request::kHelp);
  EXPECT_EQ(parseSessionOptions({L"--add", L"x", L"-h"}).request, ParsedOptions::Request::kHelp);
  EXPECT_EQ(parseSessionOptions({L"/?"}).request, ParsedOptions::Request::kHelp);
  EXPECT_EQ(parseSessionOptions({L"--add", L"x", L"--version"}).request,
            ParsedOptions::Request::kVersion);
  EXPECT_EQ(parseSessionOptions({L"--status"}).request, ParsedOptions::Request::kStatus);
  // --json asks for the status as one JSON object, before or after it.
  for (const auto& arguments : {std::vector<std::wstring>{L"--status", L"--json"},
                                std::vector<std::wstring>{L"--json", L"--status"}}) {
    ParsedOptions status = parseSessionOptions(arguments);
    EXPECT_TRUE(status.request == ParsedOptions::Request::kStatus && status.json);
  }
  EXPECT_FALSE(parseSessionOptions({L"--status"}).json);
  // After --, they belong to the command.
  ParsedOptions parsed = parseSessionOptions({L"--add", L"x", L"--", L"tool", L"--help"});
  EXPECT_EQ(parsed.request, ParsedOptions::Request::kSession);
  ASSERT_TRUE(parsed.options);
}

TEST(ParseDuration, SecondsMinutesHours) {
  const std::pair<const wchar_t*, std::optional<int>> cases[] = {
      {L"90", 90},
      {L"90s", 90},
      {L"30m", 1800},
      {L"2h", 7200},
      {L"168h", 604800},
      {L"169h", std::nullopt},
      {L"0", std::nullopt},
      {L"0s", std::nullopt},
      {L"", std::nullopt},
      {L"m", std::nullopt},
      {L"1d", std::nullopt},
      {L"-5", std::nullopt},
      {L"1.5h", std::nullopt},
      {L" 5", std::nullopt},
  };
  for (const auto& [text, seconds] : cases)
    EXPECT_EQ(parseDuration(text), seconds) << text;
}

TEST(ParseEntryFile, OneEntryPerLineWithTheirNumbers) {
  struct Case {
    const char* name;
    std::string bytes;
    std::vector<std::pair<int, std::string>> entries;
  };
  const Case cases[] = {
      {"empty file", "", {}},
      {"comments and blanks",
       "# dev hosts\n\n   \t\n10.0.0.1 a.test\n  # indented comment\n",
       {{4, "10.0.0.1 a.test"}}},
      {"CRLF and LF, no final break", "a\r\nb\nc", {{1, "a"}, {2, "b"}, {3, "c"}}},
      {"blanks trimmed, inner ones kept",
       " \t10.0.0.1   a.test \t\r\n",
       {{1, "10.0.0.1   a.test"}}},
      {"byte order mark", "\xEF\xBB\xBF# c\ncaf\xC3\xA9.test\n", {{2, "caf\xC3\xA9.test"}}},
      // A CR alone does not end a line: it stays, and the entry check refuses it.
      {"lone CR", "a\rb\n", {{1, "a\rb"}}},
  };
  for (const Case& c : cases) {
    std::vector<std::pair<int, std::string>> got;
    for (const FileEntry& entry : parseEntryFile(c.bytes))
      got.emplace_back(entry.line, entry.text);
    EXPECT_EQ(got, c.entries) << c.name;
  }
}

}  // namespace
}  // namespace varnick::control
