#include "hosts/hosts_location.h"

#include "base/wide_text.h"

namespace varnick {
namespace {

std::string withCode(std::string text, std::uint32_t code) {
  if (code != 0) text += " " + std::to_string(static_cast<int>(code));
  return text;
}

}  // namespace

std::string locateFailureText(const LocateFailure& failure) {
  const std::string path = wideToUtf8(failure.path.c_str());
  const std::string capacity = std::to_string(kPathCapacity);
  switch (failure.step) {
    case LocateStep::kNoKey:
      return withCode("Could not open System\\CurrentControlSet\\Services\\Tcpip\\Parameters",
                      failure.code);
    case LocateStep::kNoValue:
      return withCode("Could not open DataBasePath", failure.code);
    case LocateStep::kNotExpanded:
      return withCode("Could not expand " + path, failure.code);
    case LocateStep::kExpansionTooLong:
      return withCode(
          "Could not expand " + path + ": the result does not fit in " + capacity + " characters",
          failure.code);
    case LocateStep::kPathTooLong:
      return withCode(
          "The hosts file path " + path + "\\hosts does not fit in " + capacity + " characters",
          failure.code);
  }
  return "";
}

}  // namespace varnick
