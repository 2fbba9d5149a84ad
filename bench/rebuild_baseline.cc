// Baseline of the benchmarks of a session on a large hosts file: the file
// work that taking a session's lines out cannot do without. Reads the hosts
// file once, writing what it reads to a new file beside it, flushes the new
// file to the disk with FlushFileBuffers and renames it over the hosts file.
// With --port it first connects to localhost:<port> as the session's Varnick
// does, answers every request with 0 until a shutdown (op code 3), which it
// answers with 0, and does the file work after that.
//
//   bench_rebuild_baseline [--port <port>] <hosts_path>
#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "baseline_socket.h"
#include "flush_file.h"

using bench::connectToLocalhost;
using bench::flushFile;
using bench::serveUntilShutdown;

namespace {

constexpr DWORD kChunk = 1 << 20;

// Copies `from` into a new file at `to`, one read of each byte.
bool copyOnce(const wchar_t* from, const wchar_t* to) {
  HANDLE source = CreateFileW(from, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (source == INVALID_HANDLE_VALUE) return false;
  HANDLE target =
      CreateFileW(to, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (target == INVALID_HANDLE_VALUE) {
    CloseHandle(source);
    return false;
  }
  std::vector<char> buffer(kChunk);
  bool ok = true;
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(source, buffer.data(), kChunk, &got, nullptr)) {
      ok = false;
      break;
    }
    if (got == 0) break;
    DWORD written = 0;
    if (!WriteFile(target, buffer.data(), got, &written, nullptr) || written != got) {
      ok = false;
      break;
    }
  }
  CloseHandle(target);
  CloseHandle(source);
  return ok;
}

bool serve(const wchar_t* port) {
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return false;
  SOCKET sock = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (sock == INVALID_SOCKET) return false;
  if (!connectToLocalhost(sock, port)) return false;
  serveUntilShutdown(sock, 0);
  closesocket(sock);
  WSACleanup();
  return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  bool served = argc > 1 && std::wcscmp(argv[1], L"--port") == 0;
  if (argc != (served ? 4 : 2)) {
    std::fprintf(stderr, "usage: bench_rebuild_baseline [--port <port>] <hosts_path>\n");
    return 2;
  }
  if (served && !serve(argv[2])) return 1;
  const wchar_t* hosts = argv[served ? 3 : 1];
  const std::wstring next = std::wstring(hosts) + L".bench-new";
  if (!copyOnce(hosts, next.c_str()) || !flushFile(next.c_str()) ||
      !MoveFileExW(next.c_str(), hosts, MOVEFILE_REPLACE_EXISTING)) {
    std::fprintf(stderr, "rebuild failed: %lu\n", GetLastError());
    return 1;
  }
  return 0;
}
