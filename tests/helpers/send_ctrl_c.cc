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
// starts as `<exe> server <port> <backup>`.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

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
  DWORD onConsole = 0;
  if (attachParent || GetConsoleProcessList(&onConsole, 1) == 0) {
    FreeConsole();
    if (!AttachConsole(ATTACH_PARENT_PROCESS)) {
      std::fprintf(stderr, "send_ctrl_c: AttachConsole failed with error %lu\n", GetLastError());
      return 1;
    }
  }
  PROCESS_INFORMATION child{};
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  // Started before this process ignores Ctrl+C, which a child would inherit.
  if (!command.empty() && !CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0,
                                          nullptr, nullptr, &startup, &child)) {
    std::fprintf(stderr, "send_ctrl_c: CreateProcess failed with error %lu\n", GetLastError());
    return 1;
  }
  // The event reaches this process too: stay alive for whoever started it.
  SetConsoleCtrlHandler(nullptr, TRUE);
  Sleep(delay);
  while (trigger != nullptr && GetFileAttributesW(trigger) == INVALID_FILE_ATTRIBUTES) Sleep(20);
  // Under Wine, group 0 is the sender's own group rather than the whole
  // console, and a detached sender is in a group of its own. A group's id is
  // the id of the process that started it: naming every process on the
  // console as a group reaches each group whose first process is still there.
  DWORD processes[64];
  DWORD count = GetConsoleProcessList(processes, 64);
  for (DWORD i = 0; i < count && i < 64; ++i) {
    if (!GenerateConsoleCtrlEvent(CTRL_C_EVENT, processes[i])) {
      std::fprintf(stderr, "send_ctrl_c: GenerateConsoleCtrlEvent failed with error %lu\n",
                   GetLastError());
      return 1;
    }
  }
  if (child.hProcess == nullptr) {
    Sleep(30000);
    return 0;
  }
  DWORD code = 1;
  WaitForSingleObject(child.hProcess, INFINITE);
  GetExitCodeProcess(child.hProcess, &code);
  return static_cast<int>(code);
}
