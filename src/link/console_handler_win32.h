// A console event (Ctrl+C, Ctrl+Break, closing the window, log-off,
// shut-down) ends serving as the end of the connection does.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <optional>

#include "base/unique_resource_win32.h"

namespace varnick {

// While it lives, a console event shuts the served socket down, so that the
// blocked recv returns; for the events after which the system ends the
// process, the handler waits until this object ends (the restore is over).
class ConsoleEvents {
 public:
  explicit ConsoleEvents(SOCKET sock);
  ~ConsoleEvents();
  ConsoleEvents(const ConsoleEvents&) = delete;
  ConsoleEvents& operator=(const ConsoleEvents&) = delete;

  // The event that ended serving, if one did.
  static std::optional<long> received();

 private:
  UniqueHandle restored_;
};

}  // namespace varnick
