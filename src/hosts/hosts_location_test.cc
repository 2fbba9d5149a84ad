#include "hosts/hosts_location.h"

#include <gtest/gtest.h>

namespace varnick {
namespace {

TEST(LocateFailureText, NamesTheStepAndThePathAndAppendsTheSystemsCodeWhereThereIsOne) {
  struct Case {
    LocateFailure failure;
    const char* text;
  };
  const Case cases[] = {
      {{LocateStep::kNoKey, 2, {}},
       "Could not open System\\CurrentControlSet\\Services\\Tcpip\\Parameters 2"},
      {{LocateStep::kNoValue, 234, {}}, "Could not open DataBasePath 234"},
      {{LocateStep::kNotExpanded, 203, L"%H%"}, "Could not expand %H% 203"},
      {{LocateStep::kExpansionTooLong, 0, L"%H%"},
       "Could not expand %H%: the result does not fit in 260 characters"},
      {{LocateStep::kPathTooLong, 0, L"C:\\d\u00e9"},
       "The hosts file path C:\\d\xc3\xa9\\hosts does not fit in 260 characters"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(locateFailureText(c.failure), c.text) << static_cast<int>(c.failure.step);
}

}  // namespace
}  // namespace varnick
