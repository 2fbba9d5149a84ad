#include "session/controller_win32.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <shellapi.h>
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "base/elevation_win32.h"
#include "base/error_text.h"
#include "base/wide_text.h"
#include "launch/command_line.h"
#include "session/peer_owner.h"
#include "session/session_waits.h"

namespace varnick::control {
namespace {

constexpr std::uint64_t kAcceptSliceMs = 200;

// Our sockets must not leak into Varnick or the command: a child holding a
// copy of the listener would keep the port bound after we close it.
void keepFromChildren(SOCKET s) {
  SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
}

// A library that this program loads by name: from System32 only, never from
// the program's folder or the working folder, where another program may have
// put one of that name.
HMODULE systemLibrary(const wchar_t* name) {
  return LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
}

// SHELL32 is loaded only on the consent path: under Wine it brings a dozen
// more libraries along, which would slow down every session started from an
// elevated prompt. It stays loaded, as IPHLPAPI below does, for the life of
// the process: ShellExecuteExW may leave COM work of its own behind, which
// unloading the library under it would crash.
BOOL shellExecute(SHELLEXECUTEINFOW* info) {
  using ShellExecuteExFn = BOOL(WINAPI*)(SHELLEXECUTEINFOW*);
  HMODULE shell = systemLibrary(L"shell32.dll");
  auto run = shell ? reinterpret_cast<ShellExecuteExFn>(
                         reinterpret_cast<void*>(GetProcAddress(shell, "ShellExecuteExW")))
                   : nullptr;
  return run ? run(info) : FALSE;
}

// IPHLPAPI is loaded once Varnick is starting, not with this program: under
// Wine it takes a few milliseconds that would otherwise come before
// Varnick's start and add to every session.
using GetExtendedTcpTableFn = DWORD(WINAPI*)(void*, DWORD*, BOOL, ULONG, TCP_TABLE_CLASS, ULONG);

// How often, and how far apart, the TCP table is read again for a
// connection that it does not name yet: half a second in all.
constexpr int kPeerLooks = 25;
constexpr DWORD kPeerLookPauseMs = 20;

GetExtendedTcpTableFn tcpTableFunction() {
  static GetExtendedTcpTableFn function = [] {
    HMODULE library = systemLibrary(L"iphlpapi.dll");
    return library ? reinterpret_cast<GetExtendedTcpTableFn>(
                         reinterpret_cast<void*>(GetProcAddress(library, "GetExtendedTcpTable")))
                   : nullptr;
  }();
  return function;
}

std::vector<TcpConnection> tcpConnections() {
  std::vector<TcpConnection> rows;
  ULONG size = 0;
  std::vector<unsigned char> buffer;
  DWORD status = ERROR_INSUFFICIENT_BUFFER;
  for (int attempt = 0; attempt < 3 && status == ERROR_INSUFFICIENT_BUFFER; ++attempt) {
    // Room for many rows at once: the table holds at least both ends of our
    // own connection, and each read costs milliseconds under Wine.
    buffer.resize(size ? size : 64 * 1024);
    size = static_cast<ULONG>(buffer.size());
    GetExtendedTcpTableFn getTable = tcpTableFunction();
    if (getTable == nullptr) return rows;
    status = getTable(buffer.data(), &size, FALSE, AF_INET, TCP_TABLE_OWNER_PID_CONNECTIONS, 0);
  }
  if (status != NO_ERROR) return rows;
  const auto* table = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(buffer.data());
  for (DWORD i = 0; i < table->dwNumEntries; ++i) {
    const MIB_TCPROW_OWNER_PID& row = table->table[i];
    rows.push_back(
        TcpConnection{Endpoint{row.dwLocalAddr, ntohs(static_cast<u_short>(row.dwLocalPort))},
                      Endpoint{row.dwRemoteAddr, ntohs(static_cast<u_short>(row.dwRemotePort))},
                      row.dwOwningPid});
  }
  return rows;
}

timeval asTimeval(std::uint64_t ms) {
  return timeval{static_cast<long>(ms / 1000), static_cast<long>(ms % 1000 * 1000)};
}

std::optional<Endpoint> endpointOf(SOCKET s, bool peer) {
  sockaddr_in address{};
  int length = sizeof address;
  auto* raw = reinterpret_cast<sockaddr*>(&address);
  if ((peer ? getpeername(s, raw, &length) : getsockname(s, raw, &length)) != 0) {
    return std::nullopt;
  }
  return Endpoint{address.sin_addr.s_addr, ntohs(address.sin_port)};
}

bool sendAll(SOCKET s, const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    int chunk = static_cast<int>(std::min<std::size_t>(bytes.size() - sent, 1 << 30));
    int result = send(s, bytes.data() + sent, chunk, 0);
    if (result == SOCKET_ERROR) return false;
    sent += static_cast<std::size_t>(result);
  }
  return true;
}

}  // namespace

Expected<void, std::string> Controller::listen(std::uint16_t port) {
  if (!winsock_.started()) {
    return unexpected(
        withCode("Winsock could not be started", static_cast<unsigned long>(winsock_.error())));
  }
  listener_.reset(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  if (!listener_) {
    const auto error = static_cast<DWORD>(WSAGetLastError());
    return unexpected(withCode("could not create a socket", error));
  }
  keepFromChildren(listener_.get());
  BOOL exclusive = TRUE;
  if (setsockopt(listener_.get(), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
                 reinterpret_cast<const char*>(&exclusive), sizeof exclusive) != 0) {
    const auto error = static_cast<DWORD>(WSAGetLastError());
    return unexpected(withCode("could not claim the port for this process alone", error));
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener_.get(), 1) != 0) {
    const auto error = static_cast<DWORD>(WSAGetLastError());
    return unexpected(withCode("could not listen on 127.0.0.1:" + std::to_string(port), error));
  }
  auto bound = endpointOf(listener_.get(), false);
  port_ = bound ? bound->port : port;
  return {};
}

Expected<void, StartFailure> Controller::startVarnick(const std::wstring& varnickPath,
                                                      const std::vector<std::wstring>& arguments,
                                                      const std::wstring& directory) {
  if (GetFileAttributesW(varnickPath.c_str()) == INVALID_FILE_ATTRIBUTES)
    return unexpected(StartFailure{"varnick.exe not found at " + wideToUtf8(varnickPath.c_str())});
  std::wstring parameters = buildCommandLine(arguments);

  if (runsElevated()) {
    // Varnick's records go to varnick.log; keep its console echo out of the
    // command's output.
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    UniqueFile nul(CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable, OPEN_EXISTING, 0,
                               nullptr));
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = startup.hStdOutput = startup.hStdError = nul.get();
    std::wstring commandLine = quoteArgument(varnickPath) + L" " + parameters;
    PROCESS_INFORMATION process{};
    // No console and a process group of its own: a Ctrl+C or a closed window
    // must not end Varnick before it has restored the hosts file.
    const DWORD flags = DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP;
    if (!CreateProcessW(varnickPath.c_str(), commandLine.data(), nullptr, nullptr, TRUE, flags,
                        nullptr, directory.c_str(), &startup, &process)) {
      const DWORD error = GetLastError();
      return unexpected(
          StartFailure{withCode("could not start " + wideToUtf8(varnickPath.c_str()), error)});
    }
    CloseHandle(process.hThread);
    varnick_.reset(process.hProcess);
    (void)tcpTableFunction();  // loaded and kept while Varnick starts
    return {};
  }

  // Not elevated: ask for consent once, through the shell's "runas" verb.
  // Varnick gets a hidden console of its own, not this one.
  SHELLEXECUTEINFOW info{};
  info.cbSize = sizeof info;
  info.fMask =
      SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI | SEE_MASK_NO_CONSOLE;
  info.lpVerb = L"runas";
  info.lpFile = varnickPath.c_str();
  info.lpParameters = parameters.c_str();
  info.lpDirectory = directory.c_str();
  info.nShow = SW_HIDE;
  if (!shellExecute(&info) || info.hProcess == nullptr) {
    const DWORD code = GetLastError();
    if (code == ERROR_CANCELLED)
      return unexpected(StartFailure{"the request for administrator rights was declined", true});
    return unexpected(StartFailure{
        withCode("could not start " + wideToUtf8(varnickPath.c_str()) + " elevated", code)});
  }
  varnick_.reset(info.hProcess);
  (void)tcpTableFunction();  // loaded and kept while Varnick starts
  return {};
}

std::optional<DWORD> Controller::varnickExitCode() const {
  if (!varnick_ || WaitForSingleObject(varnick_.get(), 0) != WAIT_OBJECT_0) return std::nullopt;
  DWORD code = 0;
  // An exit code that cannot be read is no success.
  if (!GetExitCodeProcess(varnick_.get(), &code)) return kUnreadableExitCode;
  return code;
}

bool Controller::peerIsVarnick(SOCKET connection) {
  auto peer = endpointOf(connection, true);
  auto us = endpointOf(connection, false);
  if (!peer || !us) return false;
  DWORD varnickPid = GetProcessId(varnick_.get());
  PeerOwner owner = checkPeerOwner(tcpConnections(), *peer, *us, varnickPid);
  // A connection made an instant ago may not be in the table yet, or not
  // yet with its process (seen under load): look again for a moment before
  // taking it for one whose process cannot be named.
  for (int look = 0; owner == PeerOwner::kUnknown && look < kPeerLooks; ++look) {
    Sleep(kPeerLookPauseMs);
    owner = checkPeerOwner(tcpConnections(), *peer, *us, varnickPid);
  }
  switch (owner) {
    case PeerOwner::kExpected:
      return true;
    case PeerOwner::kOtherProcess:
      report("refused a connection from a process other than varnick.exe");
      return false;
    case PeerOwner::kUnknown:
      // Whoever it is would receive the entries and could fake the replies:
      // without a name it is not served.
      report("refused a connection whose process the system's TCP table does not name");
      return false;
  }
  return false;
}

void Controller::report(const std::string& note) {
  if (reporter_) reporter_(note);
}

Expected<void, AcceptFailure> Controller::acceptVarnick(int timeoutSeconds, HANDLE stop) {
  PatientWait wait(GetTickCount64(), static_cast<std::uint64_t>(timeoutSeconds) * 1000);
  while (!wait.expired(GetTickCount64())) {
    if (stop != nullptr && WaitForSingleObject(stop, 0) == WAIT_OBJECT_0) {
      return unexpected(AcceptFailure{NotAccepted::kInterrupted,
                                      "interrupted while waiting for varnick.exe to connect"});
    }
    if (auto code = varnickExitCode()) {
      return unexpected(AcceptFailure{
          NotAccepted::kVarnickExited,
          "varnick.exe exited with code " + std::to_string(*code) + " before it connected"});
    }
    if (wait.noticeDue(GetTickCount64()))
      report("waiting for varnick.exe to connect; another Varnick server may still be running");
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(listener_.get(), &readable);
    timeval slice = asTimeval(wait.sliceMs(GetTickCount64(), kAcceptSliceMs));
    if (select(0, &readable, nullptr, nullptr, &slice) <= 0) continue;
    UniqueSocket accepted(accept(listener_.get(), nullptr, nullptr));
    if (!accepted) continue;
    keepFromChildren(accepted.get());
    if (!peerIsVarnick(accepted.get())) continue;
    connection_ = std::move(accepted);
    listener_.reset();  // one connection only: free the port
    return {};
  }
  return unexpected(AcceptFailure{
      NotAccepted::kTimedOut,
      "varnick.exe did not connect within " + std::to_string(timeoutSeconds) + " seconds"});
}

void Controller::endVarnick() {
  if (varnick_ && !varnickExitCode()) {
    TerminateProcess(varnick_.get(), 1);
    WaitForSingleObject(varnick_.get(), 5000);
  }
}

bool Controller::awaitReply(const char* waitingFor) {
  PatientWait wait(GetTickCount64(), static_cast<std::uint64_t>(kReplyWaitSeconds) * 1000);
  for (;;) {
    std::uint64_t now = GetTickCount64();
    if (wait.expired(now)) return false;
    if (wait.noticeDue(now)) report(std::string("waiting for varnick.exe to ") + waitingFor);
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(connection_.get(), &readable);
    timeval slice = asTimeval(wait.sliceMs(now, kWaitNoticeMs));
    // Readable also when the connection has ended or failed: recv says which.
    if (select(0, &readable, nullptr, nullptr, &slice) != 0) return true;
  }
}

Expected<Reply, std::string> Controller::request(const std::string& frame, const char* waitingFor) {
  if (!connection_ || !sendAll(connection_.get(), frame))
    return unexpected(std::string("lost the connection to varnick.exe"));
  if (!awaitReply(waitingFor)) {
    // A reply that came later would be read as the answer to the next
    // request: this connection is done with.
    connection_.reset();
    return unexpected("varnick.exe did not reply within " + std::to_string(kReplyWaitSeconds) +
                      " seconds; the connection to it is closed");
  }
  unsigned char byte = 0;
  if (recv(connection_.get(), reinterpret_cast<char*>(&byte), 1, 0) != 1)
    return unexpected(std::string("varnick.exe did not reply: the connection ended"));
  std::optional<Reply> reply = decodeReply(byte);
  if (!reply) return unexpected("varnick.exe sent an unknown reply byte " + std::to_string(byte));
  return *reply;
}

bool Controller::receive(char* bytes, std::size_t size, const char* waitingFor) {
  for (std::size_t got = 0; got < size;) {
    if (!awaitReply(waitingFor)) return false;
    const int piece = static_cast<int>(std::min<std::size_t>(size - got, 1 << 20));
    int received = recv(connection_.get(), bytes + got, piece, 0);
    if (received <= 0) return false;
    got += static_cast<std::size_t>(received);
  }
  return true;
}

Expected<Report, std::string> Controller::readReport(const char* waitingFor) {
  // Exactly the frame's bytes: what follows it is the replies to requests.
  std::optional<Report> report = readReportFrame([this, waitingFor](char* bytes, std::size_t size) {
    return connection_ && receive(bytes, size, waitingFor);
  });
  if (report) return *report;
  return unexpected(std::string("varnick.exe did not send its report whole; see its log"));
}

Expected<Reply, std::string> Controller::add(const std::string& entryBytes) {
  auto frame = addRequest(entryBytes);
  if (!frame) return unexpected(std::string("the entry is too long for one request"));
  return request(*frame, "write the entry; another Varnick may be changing the hosts file");
}

Expected<Reply, std::string> Controller::shutdown() {
  return request(shutdownRequest(), "answer the shutdown");
}

void Controller::disconnect() { connection_.reset(); }

std::optional<DWORD> Controller::waitForVarnick(int timeoutSeconds, const char* waitingFor) {
  if (!varnick_) return std::nullopt;
  PatientWait wait(GetTickCount64(), static_cast<std::uint64_t>(timeoutSeconds) * 1000);
  for (std::uint64_t now = GetTickCount64(); !wait.expired(now); now = GetTickCount64()) {
    if (wait.noticeDue(now)) report(std::string("waiting for varnick.exe to ") + waitingFor);
    DWORD slice = static_cast<DWORD>(wait.sliceMs(now, kWaitNoticeMs));
    if (WaitForSingleObject(varnick_.get(), slice) != WAIT_TIMEOUT) break;
  }
  return varnickExitCode();
}

}  // namespace varnick::control
