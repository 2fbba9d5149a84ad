#include "modes/out_of_memory_record.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>

#include <unistd.h>

#include "log/logging_state.h"

namespace varnick {
namespace {

namespace fs = std::filesystem;

// The one record, with the length shown signed, goes to the `Packet` logger
// at CRIT; the logger is fetched when the record object is made.
TEST(OutOfMemoryRecord, ShowsTheLengthSignedAtCritToPacket) {
  const fs::path path =
      fs::temp_directory_path() / ("varnick_packet_" + std::to_string(::getpid()));
  const std::pair<std::uint32_t, const char*> cases[] = {
      {0xFFFFFFFFu, "-1"}, {0xFFFFFFF0u, "-16"}, {0x80000000u, "-2147483648"}, {1000u, "1000"}};
  for (const auto& [size, shown] : cases) {
    resetLoggingState();
    configureLogging("info", false, path.string().c_str(), 20480000);
    const OutOfMemoryRecord record;
    record.log(size);
    resetLoggingState();
    std::ifstream in(path, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_TRUE(std::regex_match(
        text, std::regex(std::string("[0-9:]+ CRIT  Packet - Insufficent memory for packet of ") +
                         shown + " bytes\n")))
        << text;
    in.close();
    fs::remove(path);
  }
}

}  // namespace
}  // namespace varnick
