// One varnick-session: Varnick started, the entries added, the command run,
// and the hosts file restored; or, without a session, the recovery of
// interrupted ones, or a look at what runs and what is left over.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "control/command_start_win32.h"
#include "control/session_options.h"

namespace varnick::control {

// What ends a session early or holds it. `stop` is signalled by Ctrl+C,
// Ctrl+Break or closing the console, and also by Enter (or the end of
// standard input) while a session without a command holds its entries;
// `interrupted` is set by the console events alone, and tells the two
// apart.
struct Interruption {
  HANDLE stop = nullptr;
  const std::atomic<bool>* interrupted = nullptr;
  bool happened() const { return interrupted->load(); }
};

// Prints "varnick-session: <message>" on standard error, and keeps it: the
// messages of a failure make its --json error event.
void report(const std::string& message);
// Prints as report() does what is no failure: a wait, a warning, a note.
void notice(const std::string& message);
// What report() printed so far, joined by "; ".
std::string reportedSoFar();

// Writes --json's events (session_events.h) on standard output, each line
// whole in one write; without --json it writes nothing.
class EventStream {
 public:
  explicit EventStream(bool enabled) : enabled_(enabled) {}
  void write(const std::string& event) const;

 private:
  bool enabled_ = false;
};

// How a session ended: its exit code, and whether that code is a failure of
// the session's own rather than the command's code or 0 after a hold.
struct SessionOutcome {
  int exitCode = 0;
  bool failed = false;
};

// One entry as it goes on the wire, and as messages name it.
struct SessionEntry {
  std::string bytes;
  std::string shown;
};

// Runs `varnick session recover`, which puts right the sessions that were
// interrupted, or for --clean `varnick session clean`, which then removes
// the lock files, and after it the log folder; waits for it and says what it
// did. 0, or a session code.
int recoverOrClean(const SessionOptions& options, const EventStream& events);

// Runs the session with the entries already converted and checked, and the
// command (if any) already found.
SessionOutcome runSession(const SessionOptions& options, const std::vector<SessionEntry>& entries,
                          const std::optional<CommandToRun>& command,
                          const Interruption& interruption, const EventStream& events);

// %LOCALAPPDATA%\Varnick, the folder that the session's Varnick runs in and
// keeps varnick.log in, whether it exists or not; nothing when LOCALAPPDATA
// is not set.
std::optional<std::wstring> varnickFolderPath();
constexpr wchar_t kVarnickLogName[] = L"varnick.log";

// A plain file that a search found.
struct FoundFile {
  std::wstring path;
  std::uint64_t size = 0;
  FILETIME written{};
};

// The plain files in `folder` whose names match `pattern` (* and ? as the
// system reads them); folders are passed over.
std::vector<FoundFile> findFiles(const std::wstring& folder, const wchar_t* pattern);

// Reads the whole of the file at `path`, opened so that others may go on
// reading, writing and removing it, into `content`: 0 or the error code.
DWORD readShared(const wchar_t* path, std::string& content);

// Prints on standard output what runs and what earlier sessions and `varnick
// del` left, one fact a line; takes no lock and changes nothing. Returns 0.
int reportStatus();

}  // namespace varnick::control
