// Drives the Linux half for the functional tests as varnick-session does:
// makes a socketpair, runs runPrivilegedHalf on one end in a forked child,
// and plays a script on the other. Prints one line of JSON per event.
//
//   half_driver <hosts file> <hosts folder> <lock folder> <log file>
//               [--peer-uid N] step...
//
// Steps: add:<entry>, addfile:<path> (the entry is the file's bytes) and
// shutdown send a request and print its reply (-1: the connection ended
// first); frame:<declared>:<body> sends a header that declares <declared>
// body bytes, then as many as it can of <body> zero bytes, prints how many
// the half took in, and closes its sending side; close ends the connection;
// kill kills the half (SIGKILL) as a power cut would; sh:<command> runs a
// shell command (another program at work).
// The half's start report is printed first, its end report (if any) and
// its exit code last. --peer-uid makes the socketpair as that user.
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "link/session_report.h"
#include "link/wire_format.h"
#include "modes/privileged_half_posix.h"

namespace {

using varnick::Report;

std::string jsonText(std::string_view text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7f) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", c);
      out += escape;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

bool readExactly(int fd, char* into, std::size_t size) {
  while (size > 0) {
    const ssize_t got = ::read(fd, into, size);
    if (got <= 0) return false;
    into += got;
    size -= static_cast<std::size_t>(got);
  }
  return true;
}

// Reads one report frame and prints it; false when none came.
bool printReport(int fd, const char* phase) {
  char length[4];
  if (!readExactly(fd, length, sizeof length)) return false;
  std::string body(varnick::readBigEndian32(reinterpret_cast<std::uint8_t*>(length)), '\0');
  if (!readExactly(fd, body.data(), body.size())) return false;
  std::optional<Report> report = varnick::parseReport(body);
  if (!report) return false;
  std::string items;
  for (const varnick::ReportItem& item : *report) {
    if (!items.empty()) items += ",";
    items += "{\"kind\":" + std::to_string(static_cast<int>(item.kind)) +
             ",\"line\":" + jsonText(item.line) + ",\"started\":" + jsonText(item.started) +
             ",\"reason\":" + jsonText(item.reason) + ",\"error\":" + std::to_string(item.error) +
             "}";
  }
  std::printf("{\"report\":\"%s\",\"items\":[%s]}\n", phase, items.c_str());
  return true;
}

void request(int fd, const std::string& frame, const std::string& what) {
  char reply = 0;
  const bool answered =
      ::send(fd, frame.data(), frame.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(frame.size()) &&
      readExactly(fd, &reply, 1);
  std::printf("{\"request\":%s,\"reply\":%d}\n", jsonText(what).c_str(), answered ? reply : -1);
}

std::string fileBytes(const std::string& path) {
  std::string bytes;
  if (FILE* file = std::fopen(path.c_str(), "rb")) {
    char piece[65536];
    for (std::size_t got; (got = std::fread(piece, 1, sizeof piece, file)) > 0;)
      bytes.append(piece, got);
    std::fclose(file);
  }
  return bytes;
}

// A header declaring `declared` body bytes, then up to `body` zero bytes:
// a half that refuses the length stops reading, and once it has gone, the
// sends fail.
void rawFrame(int fd, std::uint32_t declared, std::size_t body) {
  std::string header;
  varnick::appendBigEndian32(header, declared);
  std::size_t sent = 0;
  if (::send(fd, header.data(), header.size(), MSG_NOSIGNAL) == 4) {
    const std::string zeros(65536, '\0');
    while (sent < body) {
      const ssize_t put =
          ::send(fd, zeros.data(), std::min(zeros.size(), body - sent), MSG_NOSIGNAL);
      if (put <= 0) break;
      sent += static_cast<std::size_t>(put);
    }
  }
  ::shutdown(fd, SHUT_WR);
  std::printf("{\"frame\":%u,\"sent\":%zu}\n", declared, sent);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: half_driver HOSTS FOLDER LOCKS LOG [--peer-uid N] STEP...\n");
    return 2;
  }
  varnick::HalfPlaces places;
  places.hosts = {argv[1], argv[2], argv[3]};
  places.logFile = argv[4];
  int first = 5;
  std::optional<uid_t> peerUid;
  if (argc > 6 && std::strcmp(argv[5], "--peer-uid") == 0) {
    peerUid = static_cast<uid_t>(std::strtoul(argv[6], nullptr, 10));
    first = 7;
  }
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  int ends[2];
  if (peerUid && ::seteuid(*peerUid) != 0) return 2;
  const bool paired = ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) == 0;
  if (peerUid && ::seteuid(0) != 0) return 2;
  if (!paired) return 2;
  const pid_t half = ::fork();
  if (half == 0) {
    ::close(ends[0]);
    std::_Exit(varnick::runPrivilegedHalf(ends[1], places));
  }
  ::close(ends[1]);
  const int fd = ends[0];
  bool open = printReport(fd, "start");
  for (int i = first; i < argc; ++i) {
    const std::string step = argv[i];
    if (step.rfind("add:", 0) == 0) {
      request(fd, *varnick::addRequest(step.substr(4)), step);
    } else if (step.rfind("addfile:", 0) == 0) {
      request(fd, *varnick::addRequest(fileBytes(step.substr(8))), "addfile");
    } else if (step.rfind("frame:", 0) == 0) {
      char* end = nullptr;
      const unsigned long declared = std::strtoul(step.c_str() + 6, &end, 10);
      rawFrame(fd, static_cast<std::uint32_t>(declared), std::strtoull(end + 1, nullptr, 10));
    } else if (step == "shutdown") {
      request(fd, varnick::shutdownRequest(), step);
    } else if (step == "close") {
      ::shutdown(fd, SHUT_WR);
    } else if (step == "kill") {
      ::kill(half, SIGKILL);
      open = false;
    } else if (step.rfind("sh:", 0) == 0) {
      std::printf("{\"sh\":%d}\n", std::system(step.substr(3).c_str()));
    }
  }
  if (open) printReport(fd, "end");
  int status = 0;
  ::waitpid(half, &status, 0);
  std::printf("{\"exit\":%d,\"signal\":%d}\n", WIFEXITED(status) ? WEXITSTATUS(status) : -1,
              WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  return 0;
}
