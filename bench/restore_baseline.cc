// Baseline of the restore benchmark: the file work of a server session with
// plain CopyFileW. Copies the hosts file to the backup, connects to
// localhost:<port>, answers every request with 1 until a shutdown (op code
// 3), which it answers with 0, then copies the backup back over the hosts
// file with one CopyFileW; with --flush that copy is then flushed to the
// disk with FlushFileBuffers.
//
//   bench_restore_baseline [--flush] <port> <hosts_path> <backup_path>
#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <cwchar>

#include "baseline_socket.h"
#include "flush_file.h"

using bench::connectToLocalhost;
using bench::flushFile;
using bench::serveUntilShutdown;

int wmain(int argc, wchar_t** argv) {
  bool flush = argc > 1 && std::wcscmp(argv[1], L"--flush") == 0;
  wchar_t** args = argv + (flush ? 2 : 1);
  if (argc - (flush ? 2 : 1) != 3) {
    std::fprintf(stderr,
                 "usage: bench_restore_baseline [--flush] <port> <hosts_path> <backup_path>\n");
    return 2;
  }
  const wchar_t* hosts = args[1];
  const wchar_t* backup = args[2];
  if (!CopyFileW(hosts, backup, FALSE)) return 1;
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return 1;
  SOCKET sock = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (sock == INVALID_SOCKET) return 1;
  if (!connectToLocalhost(sock, args[0])) return 1;
  serveUntilShutdown(sock, 1);
  closesocket(sock);
  WSACleanup();
  if (!CopyFileW(backup, hosts, FALSE)) return 1;
  return flush && !flushFile(hosts) ? 1 : 0;
}
