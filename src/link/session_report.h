// What a session's Varnick tells varnick-session of the work it does on its
// own, as data: the interrupted sessions it put right before it connected,
// the lines it took out at its end, the lock files (and on Linux the log)
// a clean removed. Varnick
// sends one report frame after it connects and one when its work is done;
// each end words the items its own way (Varnick's records, the session's
// notes), so neither parses the other's texts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "link/wire_format.h"

namespace varnick {

// A report frame: the big-endian body length, then kOpReport and the items.
constexpr std::uint8_t kOpReport = 4;

enum class ReportKind : std::uint8_t {
  kRemoved = 1,       // `line` of the interrupted session `started`, taken out
  kSkipped,           // `line` of the session `started`: no longer in the hosts file
  kRecovered,         // the session `started` put right, its journal removed
  kRecoveryFailed,    // the session `started` not put right: `reason`, `error`; journal `path`
  kLeftRunning,       // journal `path` left: a running process holds it
  kNoneToRecover,     // no interrupted session was found
  kSearchFailed,      // the journals could not be listed: `error`
  kTookOut,           // the session's `line`, taken out at its end
  kLeft,              // the session's `line`, left: no longer a line of the hosts file
  kTakeOutFailed,     // the end failed: `reason`, `error`; journal `path` kept
  kJournalKept,       // the lines are out, but journal `path` could not go: `error`
  kLockRemoved,       // lock file `path` removed
  kLockLeft,          // lock file `path` left: a running Varnick holds it
  kLockRemoveFailed,  // lock file `path` could not be removed: `error`
  kLogRemoved,        // Linux: the half's log `path` (or a copy) removed
  kLogLeft,           // Linux: the half's log `path` left: a running half writes to it
  kLogRemoveFailed    // Linux: the half's log `path` could not be removed: `error`
};

struct ReportItem {
  ReportItem() = default;
  ReportItem(ReportKind itemKind, std::string itemLine = {}, std::string itemStarted = {},
             std::string itemReason = {}, std::uint32_t itemError = 0)
      : kind(itemKind),
        line(std::move(itemLine)),
        started(std::move(itemStarted)),
        reason(std::move(itemReason)),
        error(itemError) {}

  ReportKind kind = ReportKind::kNoneToRecover;
  std::string line;     // a hosts file line, or a file's path (`path`)
  std::string started;  // when the session started, as its journal says
  std::string reason;   // the step that failed, in Varnick's words
  std::uint32_t error = 0;

  bool operator==(const ReportItem& other) const {
    return kind == other.kind && line == other.line && started == other.started &&
           reason == other.reason && error == other.error;
  }
};

using Report = std::vector<ReportItem>;

// Whether the item tells of a failure.
bool isFailure(ReportKind kind);

// The whole frame, length field included; nothing when it would not fit
// the 32-bit length.
[[nodiscard]] std::optional<std::string> reportFrame(const Report& report);

// The items of a frame's body (op code first); nothing for a body that is
// not a whole report.
[[nodiscard]] std::optional<Report> parseReport(std::string_view body);

// Far more than the lines of any session: a report frame's body beyond it
// is no report.
constexpr std::uint32_t kMaxReportBytes = 1u << 28;

// Reads one report frame, and no byte past it, through `receive`, which
// fills exactly the bytes asked for or says it could not: the report, or
// nothing when the frame did not come whole.
[[nodiscard]] std::optional<Report> readReportFrame(
    const std::function<bool(char* bytes, std::size_t size)>& receive);

// Reads the report frame at the front of `received`, the bytes read so far,
// whose body may be at most `maxBody` bytes long. kWhole gives the report
// and the bytes used (length field and body); kNeedMore the bytes the frame
// needs as far as its length field tells (more than `received` holds), so a
// reader takes no byte past the frame; kMalformed is a longer body or one
// that is not a whole report.
[[nodiscard]] FrameTaken<Report> takeReport(std::string_view received, std::uint32_t maxBody);

}  // namespace varnick
