#include "link/session_report.h"

#include <gtest/gtest.h>

namespace varnick {
namespace {

// Every kind, with texts that hold the bytes a length-less format would trip on.
Report everyKind() {
  Report report;
  for (int kind = 1; kind <= static_cast<int>(ReportKind::kLogRemoveFailed); ++kind) {
    report.push_back({static_cast<ReportKind>(kind), std::string("10.0.0.1 a.test\0'\r\n", 19),
                      "2026-12-07 13:25:03", "reason " + std::to_string(kind),
                      0xFFFFFFF0u + static_cast<std::uint32_t>(kind)});
  }
  report.push_back({ReportKind::kNoneToRecover});
  return report;
}

TEST(SessionReport, EveryItemComesBackAsItWentAndOnlyAWholeReportIsTaken) {
  const Report report = everyKind();
  const std::string frame = *reportFrame(report);
  const std::string body = frame.substr(4);
  ASSERT_EQ(frame.size(), 4 + body.size());
  EXPECT_EQ(parseReport(body), report);
  EXPECT_EQ(parseReport(reportFrame({})->substr(4)), Report{});
  // Cut anywhere inside an item (the last one holds no text: 17 bytes), or
  // with a kind Varnick never sends: no report.
  for (std::size_t size = body.size() - 16; size < body.size(); ++size)
    EXPECT_FALSE(parseReport(body.substr(0, size)).has_value()) << size;
  for (char kind : {'\0', static_cast<char>(static_cast<int>(ReportKind::kLogRemoveFailed) + 1)}) {
    std::string wrong = body;
    wrong[1] = kind;
    EXPECT_FALSE(parseReport(wrong).has_value());
  }
  EXPECT_FALSE(parseReport("").has_value());
  EXPECT_FALSE(parseReport(std::string(1, '\3')).has_value());
}

TEST(SessionReport, AReaderTakesExactlyTheFrameWithinItsBound) {
  const Report report = everyKind();
  const std::string frame = *reportFrame(report);
  const auto bodySize = static_cast<std::uint32_t>(frame.size() - 4);
  // Cut anywhere: more is needed, and no byte past the frame.
  for (std::size_t size = 0; size < frame.size(); ++size) {
    const FrameTaken<Report> cut = takeReport(frame.substr(0, size), bodySize);
    ASSERT_EQ(cut.read, FrameRead::kNeedMore);
    EXPECT_EQ(cut.used, size < 4 ? 4 : frame.size()) << size;
  }
  const FrameTaken<Report> taken = takeReport(frame + "next", bodySize);
  ASSERT_EQ(taken.read, FrameRead::kWhole);
  EXPECT_EQ(taken.content, report);
  EXPECT_EQ(taken.used, frame.size());
  // A length beyond the bound is refused before the body comes; a body that
  // is no report when it has.
  EXPECT_EQ(takeReport(frame.substr(0, 4), bodySize - 1).read, FrameRead::kMalformed);
  for (const std::string& bad : {std::string(4, '\0'), std::string("\0\0\0\1\3", 5),
                                 frame.substr(0, 4) + frame.substr(5) + "x"}) {
    EXPECT_EQ(takeReport(bad, bodySize).read, FrameRead::kMalformed);
  }
}

// Through a stream that gives what is asked of it, a frame read takes no
// byte past the frame, and a stream that ends or holds no report gives none.
TEST(SessionReport, AFrameIsReadWholeFromAStreamOrNotAtAll) {
  const Report report = everyKind();
  const std::string frame = *reportFrame(report);
  for (const std::string& stream :
       {frame + "reply", frame.substr(0, frame.size() - 1), std::string("\0\0\0\1\3", 5)}) {
    std::size_t at = 0;
    std::optional<Report> read = readReportFrame([&](char* bytes, std::size_t size) {
      if (stream.size() - at < size) return false;
      stream.copy(bytes, size, at);
      at += size;
      return true;
    });
    const bool whole = stream.size() > frame.size();
    EXPECT_EQ(read.has_value(), whole) << stream.size();
    if (whole) {
      EXPECT_EQ(*read, report);
      EXPECT_EQ(stream.substr(at), "reply");
    }
  }
}

}  // namespace
}  // namespace varnick
