// The client of the pipe benchmark: connects to a pipe, sends <count> hello
// requests of the Varnick service's protocol, each after the reply to the
// one before, and prints the milliseconds the requests took.
//
//   bench_pipe_client <pipe> <count>
#include <windows.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: bench_pipe_client <pipe> <count>\n");
    return 2;
  }
  const long count = std::wcstol(argv[2], nullptr, 10);
  HANDLE pipe = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 200 && pipe == INVALID_HANDLE_VALUE; ++attempt) {
    pipe =
        CreateFileW(argv[1], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) Sleep(10);
  }
  if (pipe == INVALID_HANDLE_VALUE) return 1;
  // A hello of version 1: length 5, op code 16, the version.
  const char hello[] = {0, 0, 0, 5, 16, 0, 0, 0, 1};
  LARGE_INTEGER frequency;
  LARGE_INTEGER start;
  LARGE_INTEGER end;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  char reply[4096];
  for (long i = 0; i < count; ++i) {
    DWORD moved = 0;
    if (!WriteFile(pipe, hello, sizeof hello, &moved, nullptr)) return 1;
    // The reply: its length field, then that many bytes.
    DWORD got = 0;
    DWORD want = 4;
    bool body = false;
    while (got < want) {
      if (!ReadFile(pipe, reply + got, want - got, &moved, nullptr) || moved == 0) return 1;
      got += moved;
      if (!body && got >= 4) {
        body = true;
        want = 4 +
               ((static_cast<unsigned char>(reply[2]) << 8) | static_cast<unsigned char>(reply[3]));
      }
    }
  }
  QueryPerformanceCounter(&end);
  std::printf("%.3f\n", (end.QuadPart - start.QuadPart) * 1000.0 / frequency.QuadPart);
  CloseHandle(pipe);
  return 0;
}
