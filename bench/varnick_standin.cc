// A stand-in for varnick.exe in the session benchmark, started through
// `varnick-session --varnick`: `session <port>` connects to localhost:<port>
// as Varnick does, sends an empty report of what it put right, answers
// every request with 0 until a shutdown (op code 3), which it answers with
// 0, sends an empty report of what it took out, and ends. It touches no
// file: a session around it costs the session tool's own work and its
// process starts alone.
//
//   bench_varnick_standin session <port>
#include <winsock2.h>
#include <windows.h>

#include <cstdio>

#include "baseline_socket.h"

using bench::connectToLocalhost;
using bench::serveUntilShutdown;

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: bench_varnick_standin session <port>\n");
    return 2;
  }
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return 1;
  SOCKET sock = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (sock == INVALID_SOCKET) return 1;
  if (!connectToLocalhost(sock, argv[2])) return 1;
  // A report frame with no items: length 1, op code 4.
  const char emptyReport[] = {0, 0, 0, 1, 4};
  send(sock, emptyReport, sizeof emptyReport, 0);
  serveUntilShutdown(sock, 0);
  send(sock, emptyReport, sizeof emptyReport, 0);
  closesocket(sock);
  WSACleanup();
  return 0;
}
