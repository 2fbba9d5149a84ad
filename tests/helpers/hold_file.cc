// Test helper: holds a file open with a chosen access and share mode until
// its standard input closes, so tests can show how Varnick meets a file that
// another process has open. With access p it makes an instance of the named
// pipe <path> instead, as a program would that wants the service's clients.
//
//   hold_file <path> <access: r|w|rw|a|p> <share mask 0-7>
#include <windows.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: hold_file <path> <r|w|rw|a|p> <share mask>\n");
    return 2;
  }
  DWORD access = 0;
  if (std::wcscmp(argv[2], L"r") == 0)
    access = GENERIC_READ;
  else if (std::wcscmp(argv[2], L"w") == 0)
    access = GENERIC_WRITE;
  else if (std::wcscmp(argv[2], L"rw") == 0)
    access = GENERIC_READ | GENERIC_WRITE;
  else if (std::wcscmp(argv[2], L"a") == 0)
    access = FILE_APPEND_DATA;
  DWORD share = static_cast<DWORD>(std::wcstoul(argv[3], nullptr, 10));
  HANDLE file = std::wcscmp(argv[2], L"p") == 0
                    ? CreateNamedPipeW(argv[1], PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT,
                                       PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, nullptr)
                    : CreateFileW(argv[1], access, share, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    std::printf("error %lu\n", GetLastError());
    std::fflush(stdout);
    return 1;
  }
  std::printf("held\n");
  std::fflush(stdout);
  // Hold until the test closes our standard input.
  while (std::fgetc(stdin) != EOF) {
  }
  CloseHandle(file);
  return 0;
}
