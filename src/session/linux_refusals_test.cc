#include "session/linux_refusals.h"

#include <gtest/gtest.h>

namespace varnick::control {
namespace {

TEST(LinuxRefusals, WindowsOptionsAreRefusedByNameAndTheRestPass) {
  const std::pair<std::vector<std::wstring>, const char*> cases[] = {
      {{L"--add", L"127.0.0.1 a.test", L"--varnick", L"/v"}, "--varnick"},
      {{L"--add", L"127.0.0.1 a.test", L"--port", L"8080"}, "--port"},
      {{L"--add", L"127.0.0.1 a.test", L"--backup", L"/b"}, "--backup"},
      {{L"--add", L"127.0.0.1 a.test", L"--port", L"0", L"--utf8", L"--no-consent", L"--raw",
        L"--json", L"--trust-varnick-folder", L"--timeout", L"5", L"--", L"make"},
       nullptr},
      {{L"--recover", L"--timeout", L"5", L"--trust-varnick-folder", L"--json"}, nullptr},
      {{L"--clean", L"--timeout", L"5", L"--no-consent", L"--json"}, nullptr},
  };
  for (const auto& [arguments, option] : cases) {
    ParsedOptions parsed = parseSessionOptions(arguments);
    ASSERT_TRUE(parsed.options) << parsed.error;
    std::optional<std::string> refusal = linuxRefusal(*parsed.options);
    if (option == nullptr) {
      EXPECT_FALSE(refusal) << *refusal;
    } else {
      ASSERT_TRUE(refusal) << option;
      EXPECT_EQ(refusal->rfind(option, 0), 0u) << *refusal;
    }
  }
}

}  // namespace
}  // namespace varnick::control
