#include "link/console_handler_win32.h"

#include <atomic>

#include "base/console_events_win32.h"

namespace varnick {
namespace {

// The handler runs on a thread the system starts: it sees only these.
std::atomic<SOCKET> servedSocket{INVALID_SOCKET};
std::atomic<long> consoleEvent{-1};
HANDLE restoredEvent = nullptr;

BOOL WINAPI onConsoleEvent(DWORD event) {
  consoleEvent = static_cast<long>(event);
  SOCKET sock = servedSocket.load();
  if (sock != INVALID_SOCKET) shutdown(sock, SD_BOTH);
  if (eventEndsProcess(event)) WaitForSingleObject(restoredEvent, kCloseEventWaitMs);
  return TRUE;
}

}  // namespace

ConsoleEvents::ConsoleEvents(SOCKET sock) : restored_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
  restoredEvent = restored_.get();
  servedSocket = sock;
  SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

ConsoleEvents::~ConsoleEvents() {
  servedSocket = INVALID_SOCKET;
  SetEvent(restored_.get());
}

std::optional<long> ConsoleEvents::received() {
  long event = consoleEvent.load();
  return event < 0 ? std::nullopt : std::optional<long>(event);
}

}  // namespace varnick
