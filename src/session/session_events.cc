#include "session/session_events.h"

#include "base/json_text.h"

namespace varnick::control {
namespace {

std::string jsonArray(const std::vector<std::string>& texts) {
  std::string list;
  for (const std::string& text : texts)
    list += (list.empty() ? "" : ",") + jsonString(text);
  return "[" + list + "]";
}

}  // namespace

std::string readyEvent(const std::vector<std::string>& entries, std::string_view hostsFile,
                       std::string_view via) {
  return "{\"event\":\"ready\",\"entries\":" + jsonArray(entries) +
         ",\"hosts_file\":" + jsonString(hostsFile) + ",\"via\":" + jsonString(via) + "}\n";
}

std::string recoveredEvent(std::string_view line, std::string_view sessionStarted) {
  return "{\"event\":\"recovered\",\"line\":" + jsonString(line) +
         ",\"session_started\":" + jsonString(sessionStarted) + "}\n";
}

std::string errorEvent(int exitCode, std::string_view message, std::string_view reason,
                       const std::vector<std::string>& remedies) {
  return "{\"event\":\"error\",\"exit_code\":" + std::to_string(exitCode) +
         ",\"message\":" + jsonString(message) + ",\"reason\":" + jsonString(reason) +
         ",\"remedies\":" + jsonArray(remedies) + "}\n";
}

std::string endedEvent(int exitCode) {
  return "{\"event\":\"ended\",\"exit_code\":" + std::to_string(exitCode) + "}\n";
}

}  // namespace varnick::control
