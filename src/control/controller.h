// A controller for `varnick server`: listens on localhost, starts Varnick
// (elevated), accepts only that process's connection, sends requests and
// reads their replies, and waits for Varnick to exit.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>

#include "base/unique_resource.h"
#include "link/wire_format.h"

namespace varnick::control {

class Controller {
 public:
  Controller();
  ~Controller();
  Controller(const Controller&) = delete;
  Controller& operator=(const Controller&) = delete;

  // Listens on 127.0.0.1:`port` (0: the system picks one) with exclusive
  // address use, so no other process can bind the port and take Varnick's
  // connection.
  [[nodiscard]] bool listen(std::uint16_t port);
  std::uint16_t port() const { return port_; }

  // Starts `varnick server <port> <backupPath>` in `workDir`: directly when
  // this process is elevated, otherwise through the consent prompt.
  [[nodiscard]] bool startHelper(const std::wstring& varnickPath, const std::wstring& backupPath);

  // Waits up to `timeoutSeconds` for the started Varnick to connect. A
  // connection from any other process is closed and waiting goes on.
  [[nodiscard]] bool acceptHelper(int timeoutSeconds);

  // One request each; the reply, or nothing when the connection failed.
  std::optional<Reply> add(const std::string& entryBytes);
  std::optional<Reply> remove();
  std::optional<Reply> shutdown();

  // Closes the connection; Varnick then restores the hosts file and exits.
  void disconnect();

  // Waits up to `timeoutSeconds` for Varnick to exit; its exit code, or
  // nothing when it is still running.
  std::optional<DWORD> waitForHelper(int timeoutSeconds);

  // Whether Varnick has exited already, and with which code.
  std::optional<DWORD> helperExitCode() const;

  // What went wrong last, for the user.
  const std::string& error() const { return error_; }
  // Notes that are not failures (for example an owner check that could not be made).
  const std::string& note() const { return note_; }

 private:
  std::optional<Reply> request(const std::string& frame);
  bool peerIsHelper(SOCKET connection);

  bool winsockStarted_ = false;
  UniqueSocket listener_;
  UniqueSocket connection_;
  UniqueHandle helper_;
  std::uint16_t port_ = 0;
  std::string error_;
  std::string note_;
};

// The entry's bytes for the wire: in the OEM code page, as `varnick add`
// writes entries, or in UTF-8.
std::string entryInOemCodePage(const std::wstring& entry);
std::string entryInUtf8(const std::wstring& entry);

}  // namespace varnick::control
