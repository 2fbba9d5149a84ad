// Baseline of the server benchmark: the same socket loop as server mode,
// without any logging. Connects to localhost:<port>, then for each request
// reads the 4-byte big-endian body length and the body; an add (op code 1,
// 4-byte big-endian entry length, entry) is appended to the hosts file with
// an open-append-close, as server mode does; a shutdown (op code 3) ends the
// loop. Each request gets one reply byte: 0 done, 1 refused.
//
//   bench_server_baseline <port> <hosts_path>
#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "baseline_socket.h"

using bench::bigEndian32;
using bench::connectToLocalhost;
using bench::receiveAll;

namespace {

char append(const wchar_t* hostsPath, const char* entry, std::uint32_t length) {
  HANDLE file = CreateFileW(hostsPath, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  std::string line = "\r\n";
  line.append(entry, strnlen(entry, length));
  DWORD written = 0;
  BOOL ok = WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  CloseHandle(file);
  return ok && written == line.size() ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: bench_server_baseline <port> <hosts_path>\n");
    return 2;
  }
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return 1;
  SOCKET sock = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (sock == INVALID_SOCKET) return 1;
  if (!connectToLocalhost(sock, argv[1])) return 1;

  std::vector<char> body;
  char header[4];
  bool serving = true;
  while (serving && receiveAll(sock, header, sizeof header)) {
    body.resize(bigEndian32(header));
    if (!receiveAll(sock, body.data(), static_cast<std::uint32_t>(body.size()))) break;
    char reply = 1;
    if (body.size() >= 5 && body[0] == 1) {
      std::uint32_t length = bigEndian32(body.data() + 1);
      if (length <= body.size() - 5) reply = append(argv[2], body.data() + 5, length);
    } else if (!body.empty() && body[0] == 3) {
      reply = 0;
      serving = false;
    }
    send(sock, &reply, 1, 0);
  }
  closesocket(sock);
  WSACleanup();
  return 0;
}
