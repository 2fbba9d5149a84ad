#include "hosts/entry_syntax.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <optional>
#include <string>

namespace varnick {
namespace {

TEST(EntryProblem, OneLineOfAtMost254BytesWithoutControlCharacters) {
  struct Case {
    std::string bytes;
    bool refused;
  };
  const Case cases[] = {
      {"10.0.0.1 a.test", false},
      {std::string(254, 'x'), false},
      {std::string(255, 'x'), true},
      {"10.0.0.1 a.test\r\n10.0.0.2 b.test", true},
      {"a\rb", true},
      {"a\nb", true},
      {std::string("a\0b", 3), true},
      {"", false},
      {"10.0.0.1\ta.test", false},
      {"10.0.0.1 a.test\x0b", true},
      {"10.0.0.1 a\x0c.test", true},
      {"10.0.0.1 a.test\x1a", true},
      {"\x01", true},
      {"\x1f", true},
      {"10.0.0.1 a.test\x7f", true},
      // UTF-8 and OEM bytes above 0x7F are characters, not control bytes.
      {"10.0.0.1 caf\xc3\xa9.test", false},
      {"10.0.0.1 \x80\xff.test", false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(entryProblem(c.bytes).has_value(), c.refused) << c.bytes;
}

namespace text = entry_syntax_text;

std::string inQuotes(std::string_view s) { return "'" + std::string(s) + "'"; }
std::string notAnAddress(std::string_view field) {
  return inQuotes(field) + std::string(text::kNotAnAddress);
}
std::string hasAPort(std::string_view port) {
  return std::string(text::kPortLead) + std::string(port) + std::string(text::kPort);
}
std::string notAHostName(std::string_view name, std::string_view why) {
  return inQuotes(name) + std::string(text::kNotAHostName) + std::string(why);
}
std::string badCharacter(char c) {
  return inQuotes(std::string(1, c)) + std::string(text::kBadCharacter);
}

// Labels of `sizes` bytes joined by dots.
std::string nameOfLabels(std::initializer_list<std::size_t> sizes) {
  std::string name;
  for (std::size_t size : sizes)
    name += (name.empty() ? "" : ".") + std::string(size, 'a');
  return name;
}

std::string namesAfterAddress(int count) {
  std::string entry = "127.0.0.1";
  for (int i = 0; i < count; ++i)
    entry += " n" + std::to_string(i) + ".test";
  return entry;
}

TEST(EntrySyntax, AcceptsOneHostsLineAndNamesTheFirstFault) {
  const std::string longLabel(64, 'a');
  const std::string longName = nameOfLabels({63, 63, 63, 62});  // 254 bytes
  struct Case {
    std::string entry;
    std::optional<std::string> problem;
  };
  const Case cases[] = {
      // Accepted.
      {"127.0.0.1 api.myapp.test", std::nullopt},
      {"::1 localhost", std::nullopt},
      {"10.0.0.1\ta.test  b.test # comment", std::nullopt},
      {"  127.0.0.1 a.test  ", std::nullopt},
      {"\t127.0.0.1\ta.test\t", std::nullopt},
      {"0.0.0.0 _srv._tcp.a_b.test", std::nullopt},
      {"255.255.255.255 a-b.test", std::nullopt},
      {"10.0.0.1 caf\xc3\xa9.test", std::nullopt},
      {"10.0.0.1 \x80\xff.test", std::nullopt},
      {"127.0.0.1 a.test #not checked: !! ..", std::nullopt},
      {"127.0.0.1 a.test #", std::nullopt},
      {namesAfterAddress(9), std::nullopt},
      {"127.0.0.1 " + nameOfLabels({63, 63, 63, 61}), std::nullopt},
      {"fe80::1 a.test", std::nullopt},
      {"FE80::ABCD a.test", std::nullopt},
      {":: a.test", std::nullopt},
      {"::ffff:192.0.2.1 a.test", std::nullopt},
      {"::ffff:1.2.3.4 a.test", std::nullopt},
      {"2001:db8::a:b:c:d a.test", std::nullopt},
      {"1:2:3:4:5:6:7:8 a.test", std::nullopt},
      {"1:2:3:4:5:6:7:: a.test", std::nullopt},
      {"1:2:3:4:5:6:1.2.3.4 a.test", std::nullopt},
      {"0000:0:0:0:0:0:0:0001 a.test", std::nullopt},
      // No address and name.
      {"", std::string(text::kEmpty)},
      {" \t  ", std::string(text::kEmpty)},
      {"# a comment", std::string(text::kComment)},
      {"  #127.0.0.1 a.test", std::string(text::kComment)},
      {"127.0.0.1", std::string(text::kNoHostName) + "'127.0.0.1'"},
      {"127.0.0.1 # only a comment", std::string(text::kNoHostName) + "'127.0.0.1'"},
      {namesAfterAddress(10),
       std::string(text::kTooManyNamesLead) + "10" + std::string(text::kTooManyNames)},
      // IPv4.
      {"127.0.0.1api.test", notAnAddress("127.0.0.1api.test")},
      {"999.1.1.1 bad.test", notAnAddress("999.1.1.1")},
      {"256.0.0.1 a.test", notAnAddress("256.0.0.1")},
      {"1.2.3 a.test", notAnAddress("1.2.3")},
      {"01.2.3.4 a.test", notAnAddress("01.2.3.4")},
      {"1.2.3.00 a.test", notAnAddress("1.2.3.00")},
      {"1.2.3.4.5 a.test", notAnAddress("1.2.3.4.5")},
      {"1..2.3 a.test", notAnAddress("1..2.3")},
      {"1.2.3.4. a.test", notAnAddress("1.2.3.4.")},
      {"1.2.3.0001 a.test", notAnAddress("1.2.3.0001")},
      // IPv6.
      {"1::2::3 a.test", notAnAddress("1::2::3")},
      {"12345::1 a.test", notAnAddress("12345::1")},
      {"1:2:3:4:5:6:7:8:9 a.test", notAnAddress("1:2:3:4:5:6:7:8:9")},
      {"1:2:3:4:5:6:7 a.test", notAnAddress("1:2:3:4:5:6:7")},
      {"1:2:3:4:5:6:7:8:: a.test", notAnAddress("1:2:3:4:5:6:7:8::")},
      {"1:2:3:4:5:6:7:1.2.3.4 a.test", notAnAddress("1:2:3:4:5:6:7:1.2.3.4")},
      {"::1.2.3.4:1 a.test", notAnAddress("::1.2.3.4:1")},
      {"::ffff:1.2.3.04 a.test", notAnAddress("::ffff:1.2.3.04")},
      {"1:::2 a.test", notAnAddress("1:::2")},
      {":1::2 a.test", notAnAddress(":1::2")},
      {"1::2: a.test", notAnAddress("1::2:")},
      {"g::1 a.test", notAnAddress("g::1")},
      {"fe80::1%eth0 a.test", notAnAddress("fe80::1%eth0")},
      // An address with a port, as a URL writes it.
      {"127.0.0.1:3000 api.test", hasAPort(":3000")},
      {"[::1]:8080 a.test", hasAPort(":8080")},
      {"127.0.0.1:3000", hasAPort(":3000")},
      {"::1:3000 a.test", std::nullopt},  // an IPv6 address, with no port
      {"127.0.0.1: a.test", notAnAddress("127.0.0.1:")},
      {"127.0.0.1:30a a.test", notAnAddress("127.0.0.1:30a")},
      {"999.1.1.1:80 a.test", notAnAddress("999.1.1.1:80")},
      {"localhost:3000 a.test", notAnAddress("localhost:3000")},
      {"[::1] a.test", notAnAddress("[::1]")},
      // The address in the wrong place.
      {"api.test 127.0.0.1", notAnAddress("api.test") + std::string(text::kAddressComesFirst)},
      {"api.test b.test ::1", notAnAddress("api.test") + std::string(text::kAddressComesFirst)},
      {"api.test # 127.0.0.1", notAnAddress("api.test")},
      // Names.
      {"127.0.0.1 api test!", notAHostName("test!", badCharacter('!'))},
      {"127.0.0.1 a.test#x", notAHostName("a.test#x", badCharacter('#'))},
      {"127.0.0.1 a:b", notAHostName("a:b", badCharacter(':'))},
      {"127.0.0.1 a..b", notAHostName("a..b", text::kEmptyLabel)},
      {"127.0.0.1 .a.test", notAHostName(".a.test", text::kEmptyLabel)},
      {"127.0.0.1 a.test.", notAHostName("a.test.", text::kEmptyLabel)},
      {"127.0.0.1 -a.test", notAHostName("-a.test", text::kHyphenAtLabelEdge)},
      {"127.0.0.1 a-.test", notAHostName("a-.test", text::kHyphenAtLabelEdge)},
      {"127.0.0.1 a.test-", notAHostName("a.test-", text::kHyphenAtLabelEdge)},
      {"127.0.0.1 " + longLabel + ".test", notAHostName(longLabel + ".test", text::kLongLabel)},
      {"127.0.0.1 " + longName, notAHostName(longName, text::kLongName)},
  };
  for (const Case& c : cases)
    EXPECT_EQ(entrySyntaxProblem(c.entry), c.problem) << "entry: '" << c.entry << "'";
}

TEST(HoldsLine, FindsTheEntryOnlyAsAWholeLine) {
  const std::string entry = "10.0.0.1 a.test";
  struct Case {
    const char* name;
    std::string file;
    bool held;
  };
  const Case cases[] = {
      {"CR LF", "127.0.0.1 localhost\r\n10.0.0.1 a.test\r\n::1 localhost\r\n", true},
      {"LF", "127.0.0.1 localhost\n10.0.0.1 a.test\n", true},
      {"first line", "10.0.0.1 a.test\r\nx\r\n", true},
      {"last line without end", "127.0.0.1 localhost\r\n10.0.0.1 a.test", true},
      {"the whole file", "10.0.0.1 a.test", true},
      {"a prefix of a line", "10.0.0.1 a.test.more\r\n", false},
      {"a suffix of a line", "# 10.0.0.1 a.test\r\n", false},
      {"a longer entry than the line", "10.0.0.1 a\r\n", false},
      {"a blank after it", "10.0.0.1 a.test \r\n", false},
      {"only one CR is a line end", "10.0.0.1 a.test\r\r\n", false},
      {"a CR alone ends no line", "10.0.0.1 a.test\rx\n", false},
      {"a CR without LF at the end is part of the line", "10.0.0.1 a.test\r", false},
      {"empty file", "", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(holdsLine(c.file, entry), c.held) << c.name;
    // Read in two pieces, split anywhere, it finds the same.
    for (std::size_t split = 0; split <= c.file.size(); ++split) {
      WholeLineFinder finder({"x", entry});
      finder.feed(std::string_view(c.file).substr(0, split));
      finder.feed(std::string_view(c.file).substr(split));
      EXPECT_EQ(finder.finish()[1], c.held) << c.name << " split at " << split;
    }
  }
}

}  // namespace
}  // namespace varnick
