// The baseline of the pipe benchmark: the bare loop. Makes the pipe <pipe>,
// serves one client, and answers each whole request frame with the same
// short reply frame until the client closes; no decoding, no policy, no
// record.
//
//   bench_pipe_baseline <pipe>
#include <windows.h>

#include <cstdio>

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: bench_pipe_baseline <pipe>\n");
    return 2;
  }
  HANDLE pipe = CreateNamedPipeW(argv[1], PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096,
                                 4096, 0, nullptr);
  if (pipe == INVALID_HANDLE_VALUE) return 1;
  std::printf("ready\n");
  std::fflush(stdout);
  if (!ConnectNamedPipe(pipe, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) return 1;
  // Done, no rule, value 1, no text.
  const char reply[] = {0, 0, 0, 10, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0};
  char request[4096];
  for (;;) {
    DWORD got = 0;
    DWORD want = 4;
    bool body = false;
    DWORD moved = 0;
    while (got < want) {
      if (!ReadFile(pipe, request + got, want - got, &moved, nullptr) || moved == 0) {
        CloseHandle(pipe);
        return 0;
      }
      got += moved;
      if (!body && got >= 4) {
        body = true;
        want = 4 + ((static_cast<unsigned char>(request[2]) << 8) |
                    static_cast<unsigned char>(request[3]));
      }
    }
    if (!WriteFile(pipe, reply, sizeof reply, &moved, nullptr)) return 1;
  }
}
