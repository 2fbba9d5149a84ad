#include "service/pipe_server_win32.h"

#include <sddl.h>

#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

#include "base/unique_resource.h"

namespace varnick {
namespace {

// Interactive users may read and write data (FILE_READ_DATA,
// FILE_WRITE_DATA, FILE_READ_ATTRIBUTES, SYNCHRONIZE), but not make an
// instance (FILE_CREATE_PIPE_INSTANCE is the append right, which
// FILE_GENERIC_WRITE would grant); network logons get nothing. Windows
// enforces this; Wine 8 does not (measured), so there the first-instance
// flag and the client's check of the server's process are what stand.
constexpr wchar_t kPipeSddl[] = L"D:P(D;;GA;;;NU)(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x100083;;;IU)";
constexpr DWORD kBufferBytes = 4096;

struct LocalFree_ {
  void operator()(void* p) const { LocalFree(p); }
};

HANDLE makeInstance(bool first, DWORD& error) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kPipeSddl, SDDL_REVISION_1, &descriptor,
                                                            nullptr)) {
    error = GetLastError();
    return INVALID_HANDLE_VALUE;
  }
  std::unique_ptr<void, LocalFree_> owned(descriptor);
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
  HANDLE pipe = CreateNamedPipeW(
      kServicePipeName,
      PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
      PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
      PIPE_UNLIMITED_INSTANCES, kBufferBytes, kBufferBytes, 0, &attributes);
  error = pipe == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
  return pipe;
}

// Waits for an overlapped operation on `pipe` or for `stop`: the bytes it
// moved, or nothing when it failed or the service stops (it is cancelled).
std::optional<DWORD> awaitIo(HANDLE pipe, OVERLAPPED& io, BOOL started, HANDLE stop) {
  if (!started && GetLastError() != ERROR_IO_PENDING) return std::nullopt;
  HANDLE waits[] = {io.hEvent, stop};
  if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
    CancelIoEx(pipe, &io);
    DWORD ignored = 0;
    GetOverlappedResult(pipe, &io, &ignored, TRUE);
    return std::nullopt;
  }
  DWORD moved = 0;
  if (!GetOverlappedResult(pipe, &io, &moved, FALSE)) return std::nullopt;
  return moved;
}

bool writeAll(HANDLE pipe, const std::string& bytes, HANDLE stop) {
  UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  OVERLAPPED io{};
  io.hEvent = event.get();
  BOOL started = WriteFile(pipe, bytes.data(), static_cast<DWORD>(bytes.size()), nullptr, &io);
  std::optional<DWORD> written = awaitIo(pipe, io, started, stop);
  return written && *written == bytes.size();
}

struct Served {
  UniqueFile pipe;
  std::unique_ptr<PipeConnection> connection;
  HANDLE stop = nullptr;
};

// What the connection's requests get; false when the connection is done.
bool answer(Served& served, const ServiceRequest& request) {
  switch (request.op) {
    case ServiceOp::kHello:
      return writeAll(served.pipe.get(),
                      encodeServiceReply(served.connection->hello(request.version)), served.stop);
    case ServiceOp::kAdd:
      return writeAll(served.pipe.get(), encodeServiceReply(served.connection->add(request.entry)),
                      served.stop);
    case ServiceOp::kList:
      return writeAll(served.pipe.get(), encodeServiceReply(served.connection->list()),
                      served.stop);
    case ServiceOp::kEnd:
      break;
  }
  Report report;
  const ServiceReply reply = served.connection->end(report);
  return writeAll(served.pipe.get(),
                  encodeServiceReply(reply) + reportFrame(report).value_or(std::string()),
                  served.stop);
}

DWORD WINAPI serveConnection(void* parameter) {
  std::unique_ptr<Served> served(static_cast<Served*>(parameter));
  UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  std::string received;
  char piece[kBufferBytes];
  bool malformed = false;
  for (bool open = static_cast<bool>(event); open;) {
    OVERLAPPED io{};
    io.hEvent = event.get();
    BOOL started = ReadFile(served->pipe.get(), piece, sizeof piece, nullptr, &io);
    std::optional<DWORD> got = awaitIo(served->pipe.get(), io, started, served->stop);
    if (!got || *got == 0) break;
    received.append(piece, *got);
    ServiceRequest request;
    std::size_t used = 0;
    FrameRead read = FrameRead::kNeedMore;
    while (open && (read = takeServiceRequest(received, request, used)) == FrameRead::kWhole) {
      received.erase(0, used);
      open = answer(*served, request);
    }
    if (read == FrameRead::kMalformed) {
      malformed = true;
      break;
    }
  }
  served->connection->closed(malformed);
  DisconnectNamedPipe(served->pipe.get());
  return 0;
}

// Waits for a client on `pipe`: whether one came before `stop`.
bool awaitClient(HANDLE pipe, HANDLE stop) {
  UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  OVERLAPPED io{};
  io.hEvent = event.get();
  if (ConnectNamedPipe(pipe, &io)) return true;
  if (GetLastError() == ERROR_PIPE_CONNECTED) return true;
  return awaitIo(pipe, io, FALSE, stop).has_value();
}

}  // namespace

DWORD servePipe(HANDLE stop, const ConnectionMaker& makeConnection,
                const std::function<void()>& ready) {
  DWORD error = ERROR_SUCCESS;
  UniqueFile waiting(makeInstance(true, error));
  if (!waiting) return error;
  ready();
  std::vector<UniqueHandle> threads;
  while (awaitClient(waiting.get(), stop)) {
    // The threads of connections that have ended go.
    threads.erase(std::remove_if(threads.begin(), threads.end(),
                                 [](const UniqueHandle& t) {
                                   return WaitForSingleObject(t.get(), 0) == WAIT_OBJECT_0;
                                 }),
                  threads.end());
    ULONG pid = 0;
    GetNamedPipeClientProcessId(waiting.get(), &pid);
    // The next instance is there before this one is handed off, so that a
    // client never finds the name without one of the service's.
    UniqueFile next(makeInstance(false, error));
    auto served = std::make_unique<Served>();
    served->pipe = std::move(waiting);
    served->connection = makeConnection(pid);
    served->stop = stop;
    UniqueHandle thread(CreateThread(nullptr, 0, serveConnection, served.get(), 0, nullptr));
    if (thread) {
      served.release();
      threads.push_back(std::move(thread));
    } else {
      served->connection->closed(false);
    }
    if (!next) break;
    waiting = std::move(next);
  }
  // Ended by anything but `stop` (no next instance, a failed wait): the
  // connections end too, and the caller hears why.
  const bool stopped = WaitForSingleObject(stop, 0) == WAIT_OBJECT_0;
  if (!stopped) SetEvent(stop);
  for (const UniqueHandle& thread : threads)
    WaitForSingleObject(thread.get(), INFINITE);
  return stopped ? ERROR_SUCCESS : (error != ERROR_SUCCESS ? error : ERROR_BROKEN_PIPE);
}

}  // namespace varnick
