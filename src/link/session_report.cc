#include "link/session_report.h"

namespace varnick {
namespace {

constexpr auto kLastKind = ReportKind::kLogRemoveFailed;

void appendText(std::string& out, const std::string& text) {
  appendBigEndian32(out, static_cast<std::uint32_t>(text.size()));
  out += text;
}

// Reads a big-endian number from the front of `body`.
std::optional<std::uint32_t> takeNumber(std::string_view& body) {
  if (body.size() < 4) return std::nullopt;
  std::uint32_t value = readBigEndian32(reinterpret_cast<const std::uint8_t*>(body.data()));
  body.remove_prefix(4);
  return value;
}

std::optional<std::string> takeText(std::string_view& body) {
  std::optional<std::uint32_t> length = takeNumber(body);
  if (!length || *length > body.size()) return std::nullopt;
  std::string text(body.substr(0, *length));
  body.remove_prefix(*length);
  return text;
}

}  // namespace

bool isFailure(ReportKind kind) {
  switch (kind) {
    case ReportKind::kRecoveryFailed:
    case ReportKind::kSearchFailed:
    case ReportKind::kTakeOutFailed:
    case ReportKind::kJournalKept:
    case ReportKind::kLockRemoveFailed:
    case ReportKind::kLogRemoveFailed:
      return true;
    default:
      return false;
  }
}

std::optional<std::string> reportFrame(const Report& report) {
  std::string body(1, static_cast<char>(kOpReport));
  for (const ReportItem& item : report) {
    body += static_cast<char>(item.kind);
    appendBigEndian32(body, item.error);
    for (const std::string* text : {&item.line, &item.started, &item.reason}) {
      if (text->size() > 0xFFFFFFFFu) return std::nullopt;
      appendText(body, *text);
    }
  }
  if (body.size() > 0xFFFFFFFFu) return std::nullopt;
  std::string frame;
  appendBigEndian32(frame, static_cast<std::uint32_t>(body.size()));
  return frame + body;
}

std::optional<Report> parseReport(std::string_view body) {
  if (body.empty() || static_cast<std::uint8_t>(body[0]) != kOpReport) return std::nullopt;
  body.remove_prefix(1);
  Report report;
  while (!body.empty()) {
    const auto kind = static_cast<std::uint8_t>(body[0]);
    body.remove_prefix(1);
    if (kind == 0 || kind > static_cast<std::uint8_t>(kLastKind)) return std::nullopt;
    ReportItem item;
    item.kind = static_cast<ReportKind>(kind);
    std::optional<std::uint32_t> error = takeNumber(body);
    std::optional<std::string> line = takeText(body);
    std::optional<std::string> started = line ? takeText(body) : std::nullopt;
    std::optional<std::string> reason = started ? takeText(body) : std::nullopt;
    if (!error || !reason) return std::nullopt;
    item.error = *error;
    item.line = std::move(*line);
    item.started = std::move(*started);
    item.reason = std::move(*reason);
    report.push_back(std::move(item));
  }
  return report;
}

FrameTaken<Report> takeReport(std::string_view received, std::uint32_t maxBody) {
  if (received.size() < kLengthFieldSize) return {FrameRead::kNeedMore, {}, kLengthFieldSize};
  const std::uint32_t length =
      readBigEndian32(reinterpret_cast<const std::uint8_t*>(received.data()));
  if (length > maxBody) return {FrameRead::kMalformed};
  const std::size_t frameSize = kLengthFieldSize + std::size_t{length};
  if (received.size() < frameSize) return {FrameRead::kNeedMore, {}, frameSize};
  std::optional<Report> report = parseReport(received.substr(kLengthFieldSize, length));
  if (!report) return {FrameRead::kMalformed};
  return {FrameRead::kWhole, std::move(*report), frameSize};
}

std::optional<Report> readReportFrame(
    const std::function<bool(char* bytes, std::size_t size)>& receive) {
  std::string received;
  std::size_t needed = kLengthFieldSize;
  for (;;) {
    const std::size_t had = received.size();
    received.resize(needed);
    if (!receive(received.data() + had, needed - had)) return std::nullopt;
    FrameTaken<Report> taken = takeReport(received, kMaxReportBytes);
    if (taken.read == FrameRead::kWhole) return std::move(taken.content);
    if (taken.read == FrameRead::kMalformed) return std::nullopt;
    needed = taken.used;
  }
}

}  // namespace varnick
