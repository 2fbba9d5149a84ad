// Entry point: configure the log, start Winsock, find the hosts file and run
// the one mode that the command line asks for.
#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <optional>

#include "app/port.h"
#include "app/startup.h"
#include "base/console.h"
#include "base/exit_codes.h"
#include "base/file_io_win32.h"
#include "base/wide_text.h"
#include "hosts/hosts_location.h"
#include "log/logging.h"
#include "modes/modes.h"

namespace varnick {
namespace {

constexpr std::int32_t kMaxLogSize = 20480000;

int runServerMode(int argc, wchar_t** argv, Logger* mainLog) {
  std::int32_t port = parsePort(argv[2]);
  if (!isValidPort(port)) {
    logMessage(kError, mainLog, "Incorrect port number %d", port);
    return kExitBadPort;
  }
  // Serving without a backup would leave the controller's entries behind.
  if (argc < 4) {
    printUsage();
    return kExitUsage;
  }
  return runServer(port, argv[3]);
}

// A session mode's port, logged when it is out of range.
std::optional<std::int32_t> sessionPort(const wchar_t* text, Logger* mainLog) {
  std::int32_t port = parsePort(text);
  if (isValidPort(port)) return port;
  logMessage(kError, mainLog, "Incorrect port number %d", port);
  return std::nullopt;
}

// `session <port>` for varnick-session, `session recover [<port>]` or
// `session clean [<port>]`: with a port, varnick-session hears what they did.
int runSessionMode(int argc, wchar_t** argv, Logger* mainLog) {
  const bool recover = std::wcscmp(argv[2], L"recover") == 0;
  const bool clean = std::wcscmp(argv[2], L"clean") == 0;
  std::optional<std::int32_t> port;
  if (!recover && !clean) {
    port = sessionPort(argv[2], mainLog);
    return port ? runSessionServer(*port) : kExitBadPort;
  }
  if (argc > 3 && !(port = sessionPort(argv[3], mainLog))) return kExitBadPort;
  return recover ? runRecovery(port) : runClean(port);
}

// Makes the folder of this program the working folder.
SystemResult runBesideThisProgram() {
  std::wstring path = thisProgramPath();
  const std::size_t slash = path.find_last_of(L'\\');
  if (slash == std::wstring::npos) return unexpected(ERROR_BAD_PATHNAME);
  path.resize(slash);
  if (!SetCurrentDirectoryW(path.c_str())) {
    const DWORD error = GetLastError();
    return unexpected(error);
  }
  return {};
}

int dispatch(int argc, wchar_t** argv, Logger* mainLog) {
  const wchar_t* mode = argv[1];
  if (std::wcscmp(mode, L"server") == 0) return runServerMode(argc, argv, mainLog);
  if (std::wcscmp(mode, L"session") == 0) return runSessionMode(argc, argv, mainLog);
  if (std::wcscmp(mode, L"service") == 0) return runService(argv[2]);
  if (std::wcscmp(mode, L"add") == 0) return runAdd(argv[2]);
  if (std::wcscmp(mode, L"del") == 0) return runDel(argv[2]);
  printText("Unknown option %s\r\n", wideToUtf8(mode).c_str());
  return kExitFailure;
}

int run(int argc, wchar_t** argv) {
  // Every DLL loaded from here on, Winsock's first (it is delay-loaded),
  // comes from System32: never from the program's folder or the working
  // folder, where a program without administrator rights may have put one.
  // An elevated program that cannot be sure of that goes no further.
  if (!SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
    const DWORD error = GetLastError();
    printText(
        "Could not limit the loading of DLLs to System32 (error %lu): Varnick does not run "
        "without that\r\n",
        error);
    return kExitFailure;
  }
  bufferConsoleOutput();
  // The service starts in System32: its log goes beside its program, in a
  // folder only administrators may change.
  SystemResult beside;
  if (argc > 2 && std::wcscmp(argv[1], L"service") == 0 && std::wcscmp(argv[2], L"run") == 0)
    beside = runBesideThisProgram();
  configureLogging("info", true, "varnick.log", kMaxLogSize);
  Logger* mainLog = getLogger("Main");
  if (!beside) {
    logMessage(kError, mainLog,
               "Failed to make the folder of varnick.exe the working folder %d: the log stays in "
               "the folder the service started in",
               static_cast<int>(beside.error()));
  }
  if (argc < 3) {
    printUsage();
    return kExitUsage;
  }
  // The requested mode never runs without Winsock: a failure, not success.
  if (!startWinsock()) return kExitFailure;
  if (Expected<void, LocateFailure> located = locateHostsFile(); !located) {
    printLocateFailure(located.error());
    return kExitFailure;
  }
  logMessage(kInfo, mainLog, "Using hosts file %s", wideToUtf8(hostsFilePath()).c_str());
  return dispatch(argc, argv, mainLog);
}

}  // namespace
}  // namespace varnick

int wmain(int argc, wchar_t** argv) { return varnick::run(argc, argv); }
