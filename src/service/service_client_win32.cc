#include "service/service_client_win32.h"

#include <utility>

#include "base/error_text.h"
#include "base/object_rules_win32.h"
#include "link/wire_format.h"
#include "service/service_control_win32.h"

namespace varnick {

SystemResult ServiceClient::openPipe() {
  // Every instance may be taken for a moment when sessions start together:
  // wait for the next one rather than give up or fall back to consent.
  const ULONGLONG until = GetTickCount64() + kPipeWaitMs;
  for (;;) {
    pipe_.reset(CreateFileW(kServicePipeName, kPipeClientAccess, 0, nullptr, OPEN_EXISTING,
                            SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
    if (pipe_) return {};
    const DWORD error = GetLastError();
    const ULONGLONG now = GetTickCount64();
    if (error != ERROR_PIPE_BUSY || now >= until) return unexpected(error);
    // A wait that fails at once (no instance at this instant) is tried
    // again a moment later; the open's error is the one that counts.
    if (!WaitNamedPipeW(kServicePipeName, static_cast<DWORD>(until - now))) Sleep(10);
  }
}

Expected<void, std::string> ServiceClient::connect() {
  const DWORD servicePid = runningServicePid();
  if (servicePid == 0) return unexpected(std::string("the Varnick service is not running"));
  if (SystemResult opened = openPipe(); !opened)
    return unexpected(withCode("could not connect to the Varnick service", opened.error()));
  ULONG serverPid = 0;
  if (!GetNamedPipeServerProcessId(pipe_.get(), &serverPid) || serverPid != servicePid) {
    pipe_.reset();
    return unexpected("refused the pipe " + std::string("\\\\.\\pipe\\Varnick") + ": process " +
                      std::to_string(serverPid) + " made it, not the Varnick service (process " +
                      std::to_string(servicePid) + ")");
  }
  Expected<ServiceReply, std::string> hello =
      request(ServiceRequest{ServiceOp::kHello, kServiceProtocolVersion, {}});
  if (!hello || hello->status != ServiceStatus::kDone) {
    pipe_.reset();
    if (!hello) return unexpected(hello.error());
    return unexpected("the Varnick service refused the hello: " + hello->text);
  }
  policy_ = hello->text;
  return {};
}

Expected<void, std::string> ServiceClient::receive(std::size_t size) {
  char piece[4096];
  while (received_.size() < size) {
    DWORD got = 0;
    if (!ReadFile(pipe_.get(), piece, sizeof piece, &got, nullptr)) {
      const DWORD error = GetLastError();
      return unexpected(withCode("the connection to the Varnick service ended", error));
    }
    // A read of nothing leaves no error code behind: the service closed its end.
    if (got == 0) return unexpected(std::string("the connection to the Varnick service ended"));
    received_.append(piece, got);
  }
  return {};
}

Expected<ServiceReply, std::string> ServiceClient::request(const ServiceRequest& request) {
  const std::string frame = encodeServiceRequest(request);
  DWORD written = 0;
  if (!pipe_ ||
      !WriteFile(pipe_.get(), frame.data(), static_cast<DWORD>(frame.size()), &written, nullptr)) {
    const DWORD error = pipe_ ? GetLastError() : ERROR_INVALID_HANDLE;
    return unexpected(withCode("could not write to the Varnick service", error));
  }
  for (;;) {
    FrameTaken<ServiceReply> reply = takeServiceReply(received_);
    switch (reply.read) {
      case FrameRead::kWhole:
        received_.erase(0, reply.used);
        return std::move(reply.content);
      case FrameRead::kMalformed:
        return unexpected(std::string("the Varnick service sent a reply out of its protocol"));
      case FrameRead::kNeedMore:
        if (Expected<void, std::string> got = receive(received_.size() + 1); !got)
          return unexpected(got.error());
    }
  }
}

Expected<std::vector<std::string>, std::string> ServiceClient::holders() {
  Expected<ServiceReply, std::string> reply = request(ServiceRequest{ServiceOp::kList, 0, {}});
  if (!reply) return unexpected(reply.error());
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

Expected<ServiceReply, std::string> ServiceClient::add(const std::string& entryBytes) {
  return request(ServiceRequest{ServiceOp::kAdd, 0, entryBytes});
}

Expected<std::pair<ServiceReply, Report>, std::string> ServiceClient::end() {
  Expected<ServiceReply, std::string> reply = request(ServiceRequest{ServiceOp::kEnd, 0, {}});
  if (!reply) return unexpected(reply.error());
  // Then the report frame of what it took out.
  for (;;) {
    FrameTaken<Report> report = takeReport(received_, kMaxServiceFrame * 64);
    switch (report.read) {
      case FrameRead::kWhole:
        received_.erase(0, report.used);
        pipe_.reset();
        return std::make_pair(*reply, std::move(report.content));
      case FrameRead::kMalformed:
        return unexpected(std::string("the Varnick service sent a report out of its protocol"));
      case FrameRead::kNeedMore:
        if (Expected<void, std::string> got = receive(report.used); !got)
          return unexpected(got.error());
    }
  }
}

}  // namespace varnick
