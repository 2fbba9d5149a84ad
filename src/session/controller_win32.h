// A controller for Varnick's server modes: listens on localhost, starts
// Varnick (elevated), accepts only that process's connection, sends requests
// and reads their replies, and waits for Varnick to exit.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "base/expected.h"
#include "base/unique_resource_win32.h"
#include "base/winsock_win32.h"
#include "link/session_report.h"
#include "link/wire_format.h"

namespace varnick::control {

// Why Varnick did not start, for the user; `consentDeclined` when the user
// declined the consent prompt, which callers name apart.
struct StartFailure {
  std::string message;
  bool consentDeclined = false;
};

// Why no Varnick connected, and what to tell the user.
enum class NotAccepted { kTimedOut, kVarnickExited, kInterrupted };
struct AcceptFailure {
  NotAccepted why;
  std::string message;
};

class Controller {
 public:
  Controller() = default;
  Controller(const Controller&) = delete;
  Controller& operator=(const Controller&) = delete;

  // Listens on 127.0.0.1:`port` (0: the system picks one) with exclusive
  // address use, so no other process can bind the port and take Varnick's
  // connection. The failure says why, for the user.
  Expected<void, std::string> listen(std::uint16_t port);
  std::uint16_t port() const { return port_; }

  // Where notes that are not failures go as they happen (a refused
  // connection, say).
  void setReporter(std::function<void(const std::string&)> reporter) {
    reporter_ = std::move(reporter);
  }

  // Starts `varnick <arguments>` (each quoted as needed) in `directory`,
  // where its log goes: directly when this process is elevated, otherwise
  // through the consent prompt. Either way Varnick gets no share of this
  // console, so console events (Ctrl+C, closing the window) reach only this
  // process. `varnickPath` is a full path: the shell would look for a
  // relative one in `directory` first.
  Expected<void, StartFailure> startVarnick(const std::wstring& varnickPath,
                                            const std::vector<std::wstring>& arguments,
                                            const std::wstring& directory);

  // Waits up to `timeoutSeconds` for the started Varnick to connect, or until
  // `stop` (when not null) is signalled, saying after a while that it waits. A connection
  // from any other process, or from one the system cannot name, is closed
  // and waiting goes on.
  Expected<void, AcceptFailure> acceptVarnick(int timeoutSeconds, HANDLE stop);

  // Ends a Varnick that never connected, and so never changed the hosts file.
  void endVarnick();

  // One request each; the reply, or why there is none: the connection
  // failed or the reply did not come within kReplyWaitSeconds. A wait of
  // more than a few seconds is reported as it goes on; a reply that does not
  // come in time closes the connection, so that no later request can get it.
  Expected<Reply, std::string> add(const std::string& entryBytes);
  Expected<Reply, std::string> shutdown();

  // Reads the report frame that a session's Varnick sends once it has
  // connected and once its work is done; why not when none came whole
  // within kReplyWaitSeconds or it is no report.
  Expected<Report, std::string> readReport(const char* waitingFor);

  // Whether requests can still be sent.
  bool connected() const { return static_cast<bool>(connection_); }

  // Closes the connection; Varnick then restores the hosts file and exits.
  void disconnect();

  // Waits up to `timeoutSeconds` for Varnick to exit, saying after a while
  // "waiting for varnick.exe to <waitingFor>"; its exit code, or nothing when
  // it is still running.
  std::optional<DWORD> waitForVarnick(int timeoutSeconds, const char* waitingFor);

  // The started Varnick's process, to wait on.
  HANDLE varnickProcess() const { return varnick_.get(); }

 private:
  Expected<Reply, std::string> request(const std::string& frame, const char* waitingFor);
  // Waits for the connection to become readable; false when the reply wait
  // has run out.
  bool awaitReply(const char* waitingFor);
  // Receives exactly `size` bytes, each within the reply wait.
  bool receive(char* bytes, std::size_t size, const char* waitingFor);
  bool peerIsVarnick(SOCKET connection);
  // Whether Varnick has exited already, and with which code.
  std::optional<DWORD> varnickExitCode() const;
  // What varnickExitCode gives for a Varnick that ended with a code the
  // system could not tell: a failure, never taken for 0.
  static constexpr DWORD kUnreadableExitCode = 0xFFFFFFFF;
  void report(const std::string& note);

  // First, so that the sockets below are closed before Winsock is cleaned up.
  Winsock winsock_;
  UniqueSocket listener_;
  UniqueSocket connection_;
  UniqueHandle varnick_;
  std::uint16_t port_ = 0;
  std::function<void(const std::string&)> reporter_;
};

}  // namespace varnick::control
