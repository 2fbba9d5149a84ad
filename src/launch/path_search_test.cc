#include "launch/path_search.h"

#include <gtest/gtest.h>

#include <set>

namespace varnick::control {
namespace {

TEST(FindOnPath, AsAPosixShellFindsIt) {
  struct Case {
    const char* name;
    std::string command;
    std::string path;
    std::set<std::string> executables;
    std::optional<std::string> found;
  };
  const Case cases[] = {
      {"first folder that has it", "npm", "/a:/b:/c", {"/b/npm", "/c/npm"}, "/b/npm"},
      {"trailing slash", "npm", "/a/", {"/a/npm"}, "/a/npm"},
      {"nowhere", "npm", "/a:/b", {"/c/npm"}, std::nullopt},
      {"empty entry is the current folder", "tool", "/a::/b", {"./tool", "/b/tool"}, "./tool"},
      {"empty entry at the end", "tool", "/a:", {"./tool"}, "./tool"},
      {"a path is taken alone", "bin/tool", "/a", {"/a/bin/tool"}, std::nullopt},
      {"a path that is there", "./bin/tool", "/a", {"./bin/tool"}, "./bin/tool"},
      {"absolute", "/usr/bin/env", "", {"/usr/bin/env"}, "/usr/bin/env"},
      {"empty command", "", "/a", {"/a/"}, std::nullopt},
  };
  for (const Case& c : cases) {
    auto isExecutable = [&c](const std::string& file) { return c.executables.count(file) != 0; };
    EXPECT_EQ(findOnPath(c.command, c.path, isExecutable), c.found) << c.name;
  }
}

}  // namespace
}  // namespace varnick::control
