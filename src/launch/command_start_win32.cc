#include "launch/command_start_win32.h"

#include <windows.h>

#include <utility>

#include "base/wide_text.h"
#include "hosts/visible_text.h"
#include "launch/command_line.h"
#include "launch/command_search.h"

namespace varnick::control {
namespace {

// An environment variable's value; nothing when it is not set.
std::optional<std::wstring> environmentValue(const wchar_t* name) {
  std::wstring value(256, L'\0');
  for (;;) {
    // An empty value reads as 0 too, and leaves the last error as an
    // earlier call set it: only a cleared error tells the two apart.
    SetLastError(ERROR_SUCCESS);
    const DWORD length =
        GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size()));
    const DWORD error = GetLastError();
    if (length == 0 && error == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
    if (length <= value.size()) {
      value.resize(length);
      return value;
    }
    value.resize(length);
  }
}

std::wstring currentFolder() {
  std::wstring folder(GetCurrentDirectoryW(0, nullptr), L'\0');
  folder.resize(GetCurrentDirectoryW(static_cast<DWORD>(folder.size()), folder.data()));
  return folder;
}

bool isPlainFile(const std::wstring& path) {
  DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The shell that runs batch files: %ComSpec%, or cmd.exe in the system folder.
std::wstring commandShell() {
  std::optional<std::wstring> comSpec = environmentValue(L"ComSpec");
  if (comSpec && !comSpec->empty()) return *comSpec;
  wchar_t system[MAX_PATH];
  UINT length = GetSystemDirectoryW(system, MAX_PATH);
  return std::wstring(system, length < MAX_PATH ? length : 0) + L"\\cmd.exe";
}

Unexpected<CommandRefusal> refusal(CommandRefusal::Why why, std::string message) {
  return unexpected(CommandRefusal{why, std::move(message)});
}

}  // namespace

PreparedCommand prepareCommand(const std::vector<std::wstring>& command) {
  CommandSearch search;
  search.currentFolder = currentFolder();
  search.skipCurrentFolder = environmentValue(L"NoDefaultCurrentDirectoryInExePath").has_value();
  search.path = environmentValue(L"PATH").value_or(L"");
  search.pathExt = environmentValue(L"PATHEXT").value_or(L"");
  search.isFile = isPlainFile;
  const std::string name = wideToUtf8(command.front().c_str());
  std::optional<std::wstring> program = findCommand(command.front(), search);
  if (!program) {
    return refusal(CommandRefusal::Why::kNotFound,
                   "could not find the command " + name +
                       " (looked in the current folder and along PATH," +
                       " with the extensions of PATHEXT); nothing was started");
  }
  if (!isBatchFile(*program)) return CommandToRun{*program, buildCommandLine(command)};
  const std::wstring shell = commandShell();
  BatchCommandLine batch = batchCommandLine(
      shell, *program, std::vector<std::wstring>(command.begin() + 1, command.end()));
  if (!batch) {
    return refusal(
        CommandRefusal::Why::kArgumentUnsafe,
        "the argument '" + visibleText(wideToUtf8(batch.error().text.c_str())) +
            "' cannot be passed to " + wideToUtf8(program->c_str()) + ": " + batch.error().why +
            "; nothing was started (run the program that the batch file starts directly)");
  }
  return CommandToRun{shell, *batch};
}

Expected<UniqueHandle, std::uint32_t> startCommand(const CommandToRun& command) {
  std::wstring line = command.commandLine;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  // The program is named: CreateProcessW's own search would run a batch
  // file through cmd.exe with the arguments as they stand.
  if (!CreateProcessW(command.application.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                      nullptr, &startup, &process)) {
    const DWORD error = GetLastError();
    return unexpected(error);
  }
  CloseHandle(process.hThread);
  return UniqueHandle(process.hProcess);
}

}  // namespace varnick::control
