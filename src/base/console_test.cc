#include "base/console.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

namespace varnick {
namespace {

// Points stdout at a fresh file for one test and back at what it was after.
class StdoutToFile {
 public:
  explicit StdoutToFile(std::string path) : path_(std::move(path)) {
    std::fflush(stdout);
    saved_ = dup(fileno(stdout));
    EXPECT_NE(std::freopen(path_.c_str(), "w", stdout), nullptr);
  }
  ~StdoutToFile() {
    std::fflush(stdout);
    dup2(saved_, fileno(stdout));
    close(saved_);
    std::clearerr(stdout);
    std::remove(path_.c_str());
  }
  // What has reached the file, read beside the stream and without flushing it.
  std::string written() const {
    std::ifstream in(path_, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

 private:
  std::string path_;
  int saved_ = -1;
};

class PrintText : public ::testing::TestWithParam<std::size_t> {};

// A message reaches the stream whole as soon as printText returns, also one
// longer than stdout's buffer, and messages keep the order of the calls.
TEST_P(PrintText, ReachesBufferedStdoutAtOnceAndInOrder) {
  // Each case runs in a process of its own, maybe beside the others.
  StdoutToFile file(::testing::TempDir() + "console_test_" + std::to_string(getpid()));
  bufferConsoleOutput();
  std::string text(GetParam(), 'x');
  printText("first %s|\r\n", text.c_str());
  EXPECT_EQ(file.written(), "first " + text + "|\r\n");
  printText("second %u\n", 2u);
  EXPECT_EQ(file.written(), "first " + text + "|\r\nsecond 2\n");
}

INSTANTIATE_TEST_SUITE_P(Lengths, PrintText, ::testing::Values(0, 100, 4087, 4088, 4096, 20000));

}  // namespace
}  // namespace varnick
