#include "service/service_client_win32.h"

#include <utility>

#include "base/error_text.h"
#include "base/object_rules.h"
#include "link/wire_format.h"
#include "service/service_control_win32.h"

namespace varnick {

DWORD ServiceClient::openPipe() {
  // Every instance may be taken for a moment when sessions start together:
  // wait for the next one rather than give up or fall back to consent.
  const ULONGLONG until = GetTickCount64() + kPipeWaitMs;
  for (;;) {
    pipe_.reset(CreateFileW(kServicePipeName, kPipeClientAccess, 0, nullptr, OPEN_EXISTING,
                            SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
    if (pipe_) return ERROR_SUCCESS;
    const DWORD error = GetLastError();
    const ULONGLONG now = GetTickCount64();
    if (error != ERROR_PIPE_BUSY || now >= until) return error;
    // A wait that fails at once (no instance at this instant) is tried
    // again a moment later; the open's error is the one that counts.
    if (!WaitNamedPipeW(kServicePipeName, static_cast<DWORD>(until - now))) Sleep(10);
  }
}

bool ServiceClient::connect() {
  const DWORD servicePid = runningServicePid();
  if (servicePid == 0) {
    error_ = "the Varnick service is not running";
    return false;
  }
  if (DWORD error = openPipe()) {
    error_ = withCode("could not connect to the Varnick service", error);
    return false;
  }
  ULONG serverPid = 0;
  if (!GetNamedPipeServerProcessId(pipe_.get(), &serverPid) || serverPid != servicePid) {
    pipe_.reset();
    error_ = "refused the pipe " + std::string("\\\\.\\pipe\\Varnick") + ": process " +
             std::to_string(serverPid) + " made it, not the Varnick service (process " +
             std::to_string(servicePid) + ")";
    return false;
  }
  std::optional<ServiceReply> hello =
      request(ServiceRequest{ServiceOp::kHello, kServiceProtocolVersion, {}});
  if (!hello || hello->status != ServiceStatus::kDone) {
    if (hello) error_ = "the Varnick service refused the hello: " + hello->text;
    pipe_.reset();
    return false;
  }
  policy_ = hello->text;
  return true;
}

bool ServiceClient::receive(std::size_t size) {
  char piece[4096];
  while (received_.size() < size) {
    DWORD got = 0;
    if (!ReadFile(pipe_.get(), piece, sizeof piece, &got, nullptr)) {
      const DWORD error = GetLastError();
      error_ = withCode("the connection to the Varnick service ended", error);
      return false;
    }
    // A read of nothing leaves no error code behind: the service closed its end.
    if (got == 0) {
      error_ = "the connection to the Varnick service ended";
      return false;
    }
    received_.append(piece, got);
  }
  return true;
}

std::optional<ServiceReply> ServiceClient::request(const ServiceRequest& request) {
  const std::string frame = encodeServiceRequest(request);
  DWORD written = 0;
  if (!pipe_ ||
      !WriteFile(pipe_.get(), frame.data(), static_cast<DWORD>(frame.size()), &written, nullptr)) {
    const DWORD error = pipe_ ? GetLastError() : ERROR_INVALID_HANDLE;
    error_ = withCode("could not write to the Varnick service", error);
    return std::nullopt;
  }
  for (;;) {
    ServiceReply reply;
    std::size_t used = 0;
    switch (takeServiceReply(received_, reply, used)) {
      case FrameRead::kWhole:
        received_.erase(0, used);
        return reply;
      case FrameRead::kMalformed:
        error_ = "the Varnick service sent a reply out of its protocol";
        return std::nullopt;
      case FrameRead::kNeedMore:
        if (!receive(received_.size() + 1)) return std::nullopt;
    }
  }
}

std::optional<std::vector<std::string>> ServiceClient::holders() {
  std::optional<ServiceReply> reply = request(ServiceRequest{ServiceOp::kList, 0, {}});
  if (!reply) return std::nullopt;
  std::vector<std::string> lines;
  std::string_view text = reply->text;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    lines.emplace_back(text.substr(0, end));
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return lines;
}

std::optional<ServiceReply> ServiceClient::add(const std::string& entryBytes) {
  return request(ServiceRequest{ServiceOp::kAdd, 0, entryBytes});
}

std::optional<std::pair<ServiceReply, Report>> ServiceClient::end() {
  std::optional<ServiceReply> reply = request(ServiceRequest{ServiceOp::kEnd, 0, {}});
  if (!reply) return std::nullopt;
  // Then the report frame of what it took out.
  for (;;) {
    Report report;
    std::size_t used = 0;
    switch (takeReport(received_, kMaxServiceFrame * 64, report, used)) {
      case FrameRead::kWhole:
        received_.erase(0, used);
        pipe_.reset();
        return std::make_pair(*reply, std::move(report));
      case FrameRead::kMalformed:
        error_ = "the Varnick service sent a report out of its protocol";
        return std::nullopt;
      case FrameRead::kNeedMore:
        if (!receive(used)) return std::nullopt;
    }
  }
}

}  // namespace varnick
