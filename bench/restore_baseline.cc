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

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <vector>

namespace {

bool receiveAll(SOCKET sock, char* buffer, std::uint32_t length) {
  std::uint32_t total = 0;
  while (total < length) {
    int got = recv(sock, buffer + total, static_cast<int>(length - total), 0);
    if (got <= 0) return false;
    total += static_cast<std::uint32_t>(got);
  }
  return true;
}

std::uint32_t bigEndian32(const char* bytes) {
  const auto* b = reinterpret_cast<const unsigned char*>(bytes);
  return (std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) | (std::uint32_t{b[2]} << 8) |
         std::uint32_t{b[3]};
}

bool connectToLocalhost(SOCKET sock, const wchar_t* port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<u_short>(std::wcstoul(port, nullptr, 10)));
  hostent* host = gethostbyname("localhost");
  if (host == nullptr) return false;
  std::memcpy(&address.sin_addr, host->h_addr_list[0], sizeof address.sin_addr);
  return connect(sock, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

// Serves until a shutdown request or the end of the connection.
void awaitShutdown(SOCKET sock) {
  std::vector<char> body;
  char header[4];
  while (receiveAll(sock, header, sizeof header)) {
    body.resize(bigEndian32(header));
    if (!receiveAll(sock, body.data(), static_cast<std::uint32_t>(body.size()))) return;
    bool shutdown = !body.empty() && body[0] == 3;
    char reply = shutdown ? 0 : 1;
    send(sock, &reply, 1, 0);
    if (shutdown) return;
  }
}

bool flushFile(const wchar_t* path) {
  HANDLE file =
      CreateFileW(path, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  BOOL ok = FlushFileBuffers(file);
  CloseHandle(file);
  return ok != FALSE;
}

}  // namespace

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
  awaitShutdown(sock);
  closesocket(sock);
  WSACleanup();
  if (!CopyFileW(backup, hosts, FALSE)) return 1;
  return flush && !flushFile(hosts) ? 1 : 0;
}
