// Test helper: sends Ctrl+C to every process on the console it is on, as a
// user's Ctrl+C would, then stays alive (ignoring the event itself) until
// whoever started it ends it, or 30 seconds have passed.
//
//   send_ctrl_c [--attach-parent] [--delay MS] [--after-file PATH]
//               [--run COMMAND [ARG ...] | ignored ...]
//
// --attach-parent  leave this process's console for its parent's first. A
//                  process started with no console (detached) does so anyway.
// --delay MS       wait this long before sending.
// --after-file P   wait until the file P exists before sending.
// --run COMMAND    start COMMAND on this console first, and after sending
//                  wait for it and exit with its exit code: a command that
//                  outlives the Ctrl+C can then be waited for, which cmd.exe,
//                  itself often ended by the event under Wine, cannot promise.
//
// Options come first; the first other argument ends them and it and the rest
// are ignored, so the helper can stand in for varnick.exe, which the session
// starts as `<exe> server <port> <backup>`. It stays alive as long even when
// there is no console to send on, and then exits with 1.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

void reportFailure(const char* call) {
  std::fprintf(stderr, "send_ctrl_c: %s failed with error %lu\n", call, GetLastError());
}

// True when this process is on a console, having left its own for its
// parent's when asked to or when it had none.
bool joinConsole(bool attachParent) {
  DWORD self = 0;
  if (!attachParent && GetConsoleProcessList(&self, 1) != 0) return true;
  FreeConsole();
  if (AttachConsole(ATTACH_PARENT_PROCESS)) return true;
  reportFailure("AttachConsole");
  return false;
}

// Under Wine, group 0 is the sender's own group rather than the whole
// console, and a detached sender is in a group of its own. A group's id is
// the id of the process that started it: naming every process on the
// console as a group reaches each group whose first process is still there.
bool sendCtrlC() {
  DWORD processes[64];
  DWORD count = GetConsoleProcessList(processes, 64);
  if (count == 0 || count > 64) {
    reportFailure("GetConsoleProcessList");
    return false;
  }
  for (DWORD i = 0; i < count; ++i) {
    if (!GenerateConsoleCtrlEvent(CTRL_C_EVENT, processes[i])) {
      reportFailure("GenerateConsoleCtrlEvent");
      return false;
    }
  }
  return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  bool attachParent = false;
  DWORD delay = 0;
  const wchar_t* trigger = nullptr;
  std::wstring command;
  for (int i = 1; i < argc; ++i) {
    if (std::wcscmp(argv[i], L"--attach-parent") == 0) {
      attachParent = true;
    } else if (std::wcscmp(argv[i], L"--delay") == 0 && i + 1 < argc) {
      delay = static_cast<DWORD>(std::wcstoul(argv[++i], nullptr, 10));
    } else if (std::wcscmp(argv[i], L"--after-file") == 0 && i + 1 < argc) {
      trigger = argv[++i];
    } else if (std::wcscmp(argv[i], L"--run") == 0) {
      // The command line after the option, exactly as it was written.
      const wchar_t* rest = std::wcsstr(GetCommandLineW(), L" --run ");
      if (rest != nullptr) command = rest + 7;
      break;
    } else {
      break;
    }
  }
  bool onConsole = joinConsole(attachParent);
  PROCESS_INFORMATION child{};
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  // Started before this process ignores Ctrl+C, which a child would inherit.
  if (!command.empty()) {
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &child)) {
      reportFailure("CreateProcess");
      return 1;
    }
    CloseHandle(child.hThread);
  }
  // The event reaches this process too: stay alive for whoever started it.
  SetConsoleCtrlHandler(nullptr, TRUE);
  Sleep(delay);
  while (trigger != nullptr && GetFileAttributesW(trigger) == INVALID_FILE_ATTRIBUTES)
    Sleep(20);
  bool sent = onConsole && sendCtrlC();
  DWORD code = 0;
  if (child.hProcess == nullptr) {
    Sleep(30000);
  } else {
    WaitForSingleObject(child.hProcess, INFINITE);
    GetExitCodeProcess(child.hProcess, &code);
    CloseHandle(child.hProcess);
  }
  return sent ? static_cast<int>(code) : 1;
}
