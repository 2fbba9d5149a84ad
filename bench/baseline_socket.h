// What the server-mode baselines share: connecting to the controller as
// server mode does, reading a request's length field and body, and serving
// until a shutdown.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <cwchar>
#include <vector>

namespace bench {

// Connects `sock` to localhost:`port`, the first address "localhost"
// resolves to, as server mode does.
inline bool connectToLocalhost(SOCKET sock, const wchar_t* port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<u_short>(std::wcstoul(port, nullptr, 10)));
  hostent* host = gethostbyname("localhost");
  if (host == nullptr) return false;
  std::memcpy(&address.sin_addr, host->h_addr_list[0], sizeof address.sin_addr);
  return connect(sock, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

inline bool receiveAll(SOCKET sock, char* buffer, std::uint32_t length) {
  std::uint32_t total = 0;
  while (total < length) {
    int got = recv(sock, buffer + total, static_cast<int>(length - total), 0);
    if (got <= 0) return false;
    total += static_cast<std::uint32_t>(got);
  }
  return true;
}

inline std::uint32_t bigEndian32(const char* bytes) {
  const auto* b = reinterpret_cast<const unsigned char*>(bytes);
  return (std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) | (std::uint32_t{b[2]} << 8) |
         std::uint32_t{b[3]};
}

// Answers every request with `reply` until a shutdown (op code 3), which
// it answers with 0, or the end of the connection.
inline void serveUntilShutdown(SOCKET sock, char reply) {
  std::vector<char> body;
  char header[4];
  while (receiveAll(sock, header, sizeof header)) {
    body.resize(bigEndian32(header));
    if (!receiveAll(sock, body.data(), static_cast<std::uint32_t>(body.size()))) return;
    bool shutdown = !body.empty() && body[0] == 3;
    char answer = shutdown ? 0 : reply;
    send(sock, &answer, 1, 0);
    if (shutdown) return;
  }
}

}  // namespace bench
