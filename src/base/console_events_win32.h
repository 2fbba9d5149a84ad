// What the console's events have in common wherever they are handled.
#pragma once

#include <windows.h>

namespace varnick {

// After these events the system ends the process once the handler returns,
// and it gives the handler 5 seconds: a handler that must see something
// finished first waits this long at most.
constexpr DWORD kCloseEventWaitMs = 4500;

inline bool eventEndsProcess(DWORD event) {
  return event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT;
}

}  // namespace varnick
