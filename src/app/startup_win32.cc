#include "app/startup.h"

#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <optional>

#include "base/console.h"
#include "base/winsock_win32.h"

namespace varnick {
namespace {

// Started once, for whichever mode runs, and cleaned up as the process ends.
std::optional<Winsock> gWinsock;

}  // namespace

void printUsage() {
  printText("Incorrect parameters! Usage: Varnick server <port> <backup_path>\r\n");
  printText("                             Varnick [add|del] <entry>\r\n\r\n");
}

bool startWinsock() {
  const Winsock& winsock = gWinsock.emplace();
  if (!winsock.started()) {
    printText("The Winsock dll not found!\n");
    return false;
  }
  const WSADATA& data = winsock.data();
  printText("The Winsock dll found!\n");
  printText("The status: %s.\n", data.szSystemStatus);
  if (!winsock.hasVersion22()) {
    printText("The dll do not support the Winsock version %u.%u!\n",
              static_cast<unsigned>(LOBYTE(data.wVersion)),
              static_cast<unsigned>(HIBYTE(data.wVersion)));
    gWinsock.reset();
    return false;
  }
  printText("The dll supports the Winsock version %u.%u!\n", 2u, 2u);
  printText("The highest version this dll can support: %u.%u\n",
            static_cast<unsigned>(LOBYTE(data.wHighVersion)),
            static_cast<unsigned>(HIBYTE(data.wHighVersion)));
  return true;
}

void printLocateFailure(const LocateFailure& failure) {
  printText("%s\r\n", locateFailureText(failure).c_str());
}

}  // namespace varnick
