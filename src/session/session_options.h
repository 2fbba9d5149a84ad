// The command line of varnick-session.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "session/session_waits.h"

namespace varnick::control {

// Where entries come from, in the order given: one --add, or one
// --hosts-file whose lines are entries.
struct EntrySource {
  enum class Kind { kEntry, kFile };
  Kind kind = Kind::kEntry;
  std::wstring value;  // the entry, or the file's path
  bool operator==(const EntrySource& other) const {
    return kind == other.kind && value == other.value;
  }
};

struct SessionOptions {
  // --recover: no session, only the recovery of interrupted ones; goes with
  // --varnick and --timeout alone.
  bool recover = false;
  // --clean: no session; recovers, then removes what Varnick made on this
  // machine; goes with the same options as --recover.
  bool clean = false;
  // --trust-varnick-folder: start a varnick.exe that others than
  // administrators could have changed.
  bool trustVarnickFolder = false;
  std::optional<std::wstring> backupPath;   // --backup; Varnick names its own beside the hosts file
  std::uint16_t port = 0;                   // --port; 0 lets the system pick
  std::optional<std::wstring> varnickPath;  // --varnick; beside varnick-session.exe when absent
  bool utf8 = false;                        // --utf8: send entries as UTF-8, not OEM
  bool raw = false;                         // --raw: entries need not read as address and names
  bool json = false;                        // --json: events for programs on standard output
  bool noConsent = false;  // --no-consent: through the Varnick service or not at all
  int connectTimeoutSeconds = kDefaultConnectWaitSeconds;  // --timeout
  std::vector<EntrySource> entries;                        // --add and --hosts-file, at least one
  std::optional<int> holdSeconds;                          // --for, without a command only
  std::vector<std::wstring> command;  // after --; empty: hold until Enter or Ctrl+C
};

struct ParsedOptions {
  // --help, --version and --status ask for text instead of a session.
  enum class Request { kSession, kHelp, kVersion, kStatus };
  std::optional<SessionOptions> options;
  std::string error;  // why the command line was refused, when options is empty
  Request request = Request::kSession;
  // --json stood before any --, even on a command line that was refused: the
  // caller still owes its reader the events.
  bool json = false;
};

// Parses the arguments after the program name.
ParsedOptions parseSessionOptions(const std::vector<std::wstring>& arguments);

// Reads a duration: a number of seconds, or a number followed by s, m or h;
// from 1 second to 7 days. Nothing for anything else.
std::optional<int> parseDuration(const std::wstring& text);

// One entry of a hosts file: its line number (from 1) and its text.
struct FileEntry {
  int line = 0;
  std::string text;
};

// The entries of a file in the hosts file's own format: one per line, CR LF
// or LF endings, blank lines and lines that start with # skipped, blanks
// and tabs around each entry trimmed, a UTF-8 byte order mark ignored.
std::vector<FileEntry> parseEntryFile(std::string_view bytes);

}  // namespace varnick::control
