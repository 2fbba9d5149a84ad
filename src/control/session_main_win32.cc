// varnick-session: hosts entries that last exactly as long as a command.
//
//   varnick-session [options] (--add ENTRY | --hosts-file PATH) ...
//                   [--for DURATION | -- COMMAND ...]
//   varnick-session --recover | --status | --help | --version
//
// Starts `varnick session` (elevated; `varnick server` with a --backup),
// adds the entries, runs the command and waits for it, then shuts Varnick
// down, which restores the hosts file. --recover has Varnick take out what
// an interrupted session left, and does nothing else; --status only looks.
#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "base/console_events_win32.h"
#include "base/oem_text_win32.h"
#include "base/unique_resource.h"
#include "base/wide_text.h"
#include "hosts/entry_syntax.h"
#include "control/session_advice.h"
#include "control/error_text.h"
#include "hosts/visible_text.h"
#include "control/session_events.h"
#include "control/local_files_win32.h"
#include "control/session_exit_codes.h"
#include "control/session_options.h"
#include "control/session_status_win32.h"
#include "control/session_win32.h"

#ifndef VARNICK_VERSION
#define VARNICK_VERSION "unknown"
#endif

namespace varnick::control {
namespace {

// Set by Ctrl+C, Ctrl+Break or closing the console; the main thread then
// ends the session in order. `gDone` tells a closing console's handler that
// the restore has happened and the process may go.
HANDLE gStop = nullptr;
HANDLE gDone = nullptr;
std::atomic<bool> gInterrupted{false};

BOOL WINAPI onConsoleEvent(DWORD event) {
  gInterrupted = true;
  SetEvent(gStop);
  // The system ends the process when this returns: wait for the shutdown.
  if (eventEndsProcess(event)) WaitForSingleObject(gDone, kCloseEventWaitMs);
  return TRUE;
}

// The entry's bytes for the wire: UTF-8, or the OEM code page as `varnick
// add` writes entries, but with no best-fit look-alike and no default
// character, which would change the name. Nothing when the code page cannot
// hold every character as it is.
std::optional<std::string> entryBytes(const std::wstring& entry, bool utf8) {
  // The length is the entry's own: a NUL inside it must reach the checks.
  if (utf8) return utf16ToUtf8(reinterpret_cast<const char16_t*>(entry.data()), entry.size());
  return toOemCodePage(entry, OemFit::kExact);
}

// Converts one entry as the options ask and checks that it makes one line
// of the hosts file. `where` says where it came from, for the report.
std::optional<SessionEntry> entryToSend(const SessionOptions& options, const std::wstring& entry,
                                        const std::string& where) {
  std::string shown = visibleText(wideToUtf8(entry.c_str()));
  std::optional<std::string> converted = entryBytes(entry, options.utf8);
  if (!converted) {
    report(where + "the entry '" + shown + "' cannot be written exactly in the OEM code page (" +
           std::to_string(GetOEMCP()) + "); to send it as UTF-8, add --utf8");
    return std::nullopt;
  }
  std::string bytes = std::move(*converted);
  if (std::optional<std::string> problem = entryProblem(bytes)) {
    report(where + "the entry '" + shown + "' " + *problem);
    return std::nullopt;
  }
  if (options.raw) return SessionEntry{std::move(bytes), std::move(shown)};
  if (std::optional<std::string> refusal = entrySyntaxRefusal(wideToUtf8(entry.c_str()), shown)) {
    report(where + *refusal);
    return std::nullopt;
  }
  return SessionEntry{std::move(bytes), std::move(shown)};
}

std::string systemMessage(DWORD code) {
  wchar_t* raw = nullptr;
  DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&raw), 0, nullptr);
  UniqueLocal<wchar_t*> text(raw);
  std::string message = length ? wideToUtf8(text.get()) : std::string();
  while (!message.empty() &&
         (message.back() == '\n' || message.back() == '\r' || message.back() == ' ')) {
    message.pop_back();
  }
  return message + (message.empty() ? "" : " ") + errorInParentheses(code);
}

// The whole of a file's bytes; nothing (and a report) when it cannot be read.
std::optional<std::string> readWholeFile(const std::wstring& path) {
  std::string content;
  if (DWORD error = readShared(path.c_str(), content)) {
    report("could not read " + wideToUtf8(path.c_str()) + ": " + systemMessage(error));
    return std::nullopt;
  }
  return content;
}

// The entries of one --hosts-file, each checked; nothing when the file
// cannot be read or a line cannot be an entry (its number is reported).
bool appendFileEntries(const SessionOptions& options, const std::wstring& path,
                       std::vector<SessionEntry>& entries) {
  std::optional<std::string> content = readWholeFile(path);
  if (!content) return false;
  for (const FileEntry& line : parseEntryFile(*content)) {
    std::string where = wideToUtf8(path.c_str()) + ":" + std::to_string(line.line) + ": ";
    int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, line.text.data(),
                                     static_cast<int>(line.text.size()), nullptr, 0);
    if (length == 0) {
      report(where + "the line is not UTF-8 text");
      return false;
    }
    std::wstring entry(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, line.text.data(), static_cast<int>(line.text.size()),
                        entry.data(), length);
    std::optional<SessionEntry> checked = entryToSend(options, entry, where);
    if (!checked) return false;
    entries.push_back(std::move(*checked));
  }
  return true;
}

// The entries in the bytes they are sent as, in the order given, each
// checked to make one line of the hosts file; nothing (and a report) when
// one cannot, or when there are none at all.
std::optional<std::vector<SessionEntry>> entriesToSend(const SessionOptions& options) {
  std::vector<SessionEntry> entries;
  for (const EntrySource& source : options.entries) {
    if (source.kind == EntrySource::Kind::kFile) {
      if (!appendFileEntries(options, source.value, entries)) return std::nullopt;
    } else if (auto checked = entryToSend(options, source.value, "")) {
      entries.push_back(std::move(*checked));
    } else {
      return std::nullopt;
    }
  }
  if (entries.empty()) {
    report("no entries to add: the hosts files given hold none");
    return std::nullopt;
  }
  return entries;
}

// A session or a recovery, from the checked command line to its end.
SessionOutcome runChecked(const SessionOptions& options, const EventStream& events) {
  std::optional<std::vector<SessionEntry>> entries;
  std::optional<CommandToRun> command;
  if (!options.recover && !options.clean) {
    entries = entriesToSend(options);
    if (!entries) return {kSessionUsage, true};
    int failure = 0;
    if (!options.command.empty() && !(command = prepareCommand(options.command, failure)))
      return {failure, true};
  }
  UniqueHandle stop(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  UniqueHandle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  gStop = stop.get();
  gDone = done.get();
  SetConsoleCtrlHandler(onConsoleEvent, TRUE);
  // Sessions run side by side: each Varnick takes out only its own lines.
  SessionOutcome outcome;
  if (options.recover || options.clean) {
    int code = recoverOrClean(options, events);
    outcome = {code, code != 0};
  } else {
    outcome = runSession(options, *entries, command, Interruption{gStop, &gInterrupted}, events);
  }
  SetEvent(gDone);
  return outcome;
}

void printUsage() {
  std::fputs(kSessionUsageText, stderr);
  std::fputs("Run varnick-session --help for every option and the exit codes.\n", stderr);
}

int run(int argc, wchar_t** argv) {
  ParsedOptions parsed = parseSessionOptions(std::vector<std::wstring>(argv + 1, argv + argc));
  if (parsed.request == ParsedOptions::Request::kVersion) {
    std::printf("varnick-session %s\n", VARNICK_VERSION);
    return 0;
  }
  if (parsed.request == ParsedOptions::Request::kHelp) {
    std::fputs(sessionHelpText().c_str(), stdout);
    return 0;
  }
  if (parsed.request == ParsedOptions::Request::kStatus) return reportStatus(parsed.json);
  if (argc < 2) {
    // Nothing asked for at all: the usage, and where the rest is, answer
    // better than a refusal or a whole screen of help.
    printUsage();
    return kSessionUsage;
  }
  EventStream events(parsed.json);
  SessionOutcome outcome{kSessionUsage, true};
  if (parsed.options) {
    outcome = runChecked(*parsed.options, events);
  } else {
    report(parsed.error);
    printUsage();
  }
  if (outcome.failed) {
    const Reported& reported = reportedSoFar();
    events.write(errorEvent(
        outcome.exitCode,
        reported.message.empty() ? sessionExitMeaning(outcome.exitCode) : reported.message,
        reported.reason.empty() ? sessionExitReason(outcome.exitCode) : reported.reason,
        reported.remedies));
  }
  events.write(endedEvent(outcome.exitCode));
  return outcome.exitCode;
}

}  // namespace
}  // namespace varnick::control

int wmain(int argc, wchar_t** argv) { return varnick::control::run(argc, argv); }
