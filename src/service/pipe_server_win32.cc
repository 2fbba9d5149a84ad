#include "service/pipe_server_win32.h"

#include <atomic>
#include <map>
#include <optional>
#include <utility>
#include <vector>

#include "base/object_rules_win32.h"
#include "base/security_descriptor_win32.h"
#include "base/srw_lock_guard_win32.h"
#include "base/unique_resource_win32.h"

namespace varnick {
namespace {

constexpr DWORD kBufferBytes = 4096;
constexpr ULONG_PTR kQuit = 1;
constexpr DWORD kSweepMs = 500;
constexpr ULONGLONG kTallyMs = 60000;

// The pipe's rules (kPipeRules) are Windows' to enforce; Wine 8 enforces
// none, so there the first-instance flag and the client's check
// of the server's process are what stand.
HANDLE makeInstance(bool first, DWORD& error) {
  SecurityDescriptor rules;
  if (SystemResult converted = rules.convert(kPipeRules); !converted) {
    error = converted.error();
    return INVALID_HANDLE_VALUE;
  }
  HANDLE pipe = CreateNamedPipeW(
      kServicePipeName,
      PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
      PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
      PIPE_UNLIMITED_INSTANCES, kBufferBytes, kBufferBytes, 0, rules.attributes());
  error = pipe == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
  return pipe;
}

// Writes `bytes` whole through `pipe`, waiting on `event` up to `waitMs`
// for a client that does not read, or until `stop`. The write's completion
// goes to the event, not to the port (the low bit of hEvent says so), since
// the thread that writes is the one that waits.
bool writeAll(HANDLE pipe, HANDLE event, const std::string& bytes, HANDLE stop, DWORD waitMs) {
  OVERLAPPED io{};
  io.hEvent = reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(event) | 1);
  if (!WriteFile(pipe, bytes.data(), static_cast<DWORD>(bytes.size()), nullptr, &io) &&
      GetLastError() != ERROR_IO_PENDING) {
    return false;
  }
  HANDLE waits[] = {event, stop};
  DWORD written = 0;
  if (WaitForMultipleObjects(2, waits, FALSE, waitMs) != WAIT_OBJECT_0) {
    CancelIoEx(pipe, &io);
    WaitForSingleObject(event, INFINITE);
    return false;
  }
  return GetOverlappedResult(pipe, &io, &written, FALSE) && written == bytes.size();
}

enum class Waiting { kClient, kRequest };

// One instance of the pipe: waiting for a client, then its connection.
struct Channel {
  OVERLAPPED io{};
  Waiting waiting = Waiting::kClient;
  UniqueFile pipe;
  UniqueHandle written;               // the event of the connection's replies
  std::uint64_t id = 0;               // once admitted
  DWORD postedError = ERROR_SUCCESS;  // of a completion the server posted itself
  std::unique_ptr<PipeConnection> connection;
  std::string received;
  std::atomic<ULONGLONG> heardAt{0};
  bool closing = false;     // under the lock: no further read is started
  bool idleClosed = false;  // under the lock
  char piece[kBufferBytes];
};

class Server {
 public:
  Server(HANDLE stop, PipeOwner& owner, const PipeLimits& limits)
      : stop_(stop), owner_(owner), limits_(limits), book_(limits.connections) {}

  SystemResult run();

 private:
  static DWORD WINAPI poolThread(void* server);
  void work();
  SystemResult listen(bool first);
  void refill();
  void clientCame(Channel* channel, DWORD error);
  void admit(Channel* channel);
  void requestCame(Channel* channel, DWORD bytes, DWORD error);
  bool replyToRequest(Channel& channel, const ServiceRequest& request);
  void read(Channel* channel);
  void close(Channel* channel, bool malformed);
  void drop(Channel* channel);
  void closeIdle();
  void failedInstance(DWORD error);
  SystemResult watch();
  void shutDown(std::vector<UniqueHandle>& threads);

  HANDLE stop_;
  PipeOwner& owner_;
  const PipeLimits limits_;
  UniqueHandle port_;
  SRWLOCK lock_ = SRWLOCK_INIT;
  // Under lock_:
  std::map<Channel*, std::unique_ptr<Channel>> channels_;
  std::map<std::uint64_t, Channel*> admitted_;
  ConnectionBook book_;
  std::uint64_t lastId_ = 0;
  unsigned waiting_ = 0;  // instances waiting for a client, or being made
  bool stopping_ = false;
  PipeTally tally_;
};

DWORD WINAPI Server::poolThread(void* server) {
  static_cast<Server*>(server)->work();
  return 0;
}

SystemResult Server::run() {
  port_.reset(CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, limits_.threads));
  if (!port_) {
    const DWORD error = GetLastError();
    return unexpected(error);
  }
  {
    SrwLockGuard guard(lock_);
    ++waiting_;
  }
  if (SystemResult listening = listen(true); !listening) return listening;
  owner_.ready();
  std::vector<UniqueHandle> threads;
  DWORD threadError = ERROR_SUCCESS;
  for (unsigned i = 0; i < limits_.threads; ++i) {
    UniqueHandle thread(CreateThread(nullptr, 0, poolThread, this, 0, nullptr));
    if (!thread) threadError = GetLastError();
    if (thread) threads.push_back(std::move(thread));
  }
  const SystemResult result = threads.empty() ? systemResult(threadError) : watch();
  shutDown(threads);
  if (tally_.any()) owner_.tally(tally_);
  return result;
}

// Until `stop`: tops the waiting instances up, closes idle connections and
// says the tally once a minute. Done, or the last instance's error once none
// could be made for noInstanceMs.
SystemResult Server::watch() {
  ULONGLONG saidAt = GetTickCount64();
  ULONGLONG noneSince = 0;
  while (WaitForSingleObject(stop_, kSweepMs) == WAIT_TIMEOUT) {
    refill();
    closeIdle();
    const ULONGLONG now = GetTickCount64();
    PipeTally said;
    {
      SrwLockGuard guard(lock_);
      noneSince = waiting_ != 0 ? 0 : (noneSince != 0 ? noneSince : now);
      if (noneSince != 0 && now - noneSince >= limits_.noInstanceMs)
        return unexpected(tally_.lastFailure != ERROR_SUCCESS ? tally_.lastFailure
                                                              : ERROR_PIPE_NOT_CONNECTED);
      if (now - saidAt >= kTallyMs && tally_.any()) said = std::exchange(tally_, PipeTally{});
    }
    if (said.any()) {
      saidAt = now;
      owner_.tally(said);
    }
  }
  return {};
}

void Server::shutDown(std::vector<UniqueHandle>& threads) {
  {
    SrwLockGuard guard(lock_);
    stopping_ = true;
    for (auto& [raw, channel] : channels_) {
      channel->closing = true;
      CancelIoEx(channel->pipe.get(), nullptr);
    }
  }
  // Every connection ends on the pool, taking its lines out.
  for (;;) {
    {
      SrwLockGuard guard(lock_);
      if (channels_.empty()) break;
    }
    Sleep(20);
  }
  for (std::size_t i = 0; i < threads.size(); ++i)
    PostQueuedCompletionStatus(port_.get(), 0, kQuit, nullptr);
  for (const UniqueHandle& thread : threads)
    WaitForSingleObject(thread.get(), INFINITE);
}

void Server::failedInstance(DWORD error) {
  SrwLockGuard guard(lock_);
  ++tally_.failedInstances;
  tally_.lastFailure = error;
}

// Makes an instance and waits for a client on it; the caller has counted
// it in waiting_. Done, or why it could not be made.
SystemResult Server::listen(bool first) {
  DWORD error = ERROR_SUCCESS;
  UniqueFile pipe(makeInstance(first, error));
  if (pipe && !CreateIoCompletionPort(pipe.get(), port_.get(), 0, 0)) error = GetLastError();
  auto channel = std::make_unique<Channel>();
  channel->pipe = std::move(pipe);
  channel->written.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (error == ERROR_SUCCESS && !channel->written) error = GetLastError();
  Channel* raw = channel.get();
  SrwLockGuard guard(lock_);
  if (error == ERROR_SUCCESS && !stopping_) {
    if (ConnectNamedPipe(raw->pipe.get(), &raw->io)) return {};  // its completion comes
    error = GetLastError();
    // A client that came before the wait (and may have gone again) is a
    // connection like any other; no completion comes for it, so one is posted.
    if (error == ERROR_PIPE_CONNECTED || error == ERROR_NO_DATA) {
      raw->postedError = error;
      error = PostQueuedCompletionStatus(port_.get(), 0, 0, &raw->io) ? ERROR_IO_PENDING
                                                                      : GetLastError();
    }
    if (error == ERROR_IO_PENDING) {
      channels_.emplace(raw, std::move(channel));
      return {};
    }
  }
  --waiting_;
  if (error == ERROR_SUCCESS) return {};  // stopping
  ++tally_.failedInstances;
  tally_.lastFailure = error;
  return unexpected(error);
}

// Tops the instances waiting for clients up again.
void Server::refill() {
  for (;;) {
    {
      SrwLockGuard guard(lock_);
      if (stopping_ || waiting_ >= limits_.waitingInstances) return;
      ++waiting_;
    }
    if (!listen(false)) return;  // counted; the next sweep tries again
  }
}

void Server::work() {
  for (;;) {
    DWORD bytes = 0;
    ULONG_PTR key = 0;
    OVERLAPPED* io = nullptr;
    const BOOL done = GetQueuedCompletionStatus(port_.get(), &bytes, &key, &io, INFINITE);
    DWORD error = done ? ERROR_SUCCESS : GetLastError();
    if (!io) {
      if (key == kQuit || !done) return;
      continue;
    }
    Channel* channel = CONTAINING_RECORD(io, Channel, io);
    if (done) error = std::exchange(channel->postedError, ERROR_SUCCESS);
    if (channel->waiting == Waiting::kClient) {
      clientCame(channel, error);
    } else {
      requestCame(channel, bytes, error);
    }
  }
}

void Server::clientCame(Channel* channel, DWORD error) {
  {
    SrwLockGuard guard(lock_);
    --waiting_;
  }
  refill();
  // ERROR_NO_DATA: the client has closed already; served like any other,
  // its first read ends it.
  if (error != ERROR_SUCCESS && error != ERROR_PIPE_CONNECTED && error != ERROR_NO_DATA) {
    if (error != ERROR_OPERATION_ABORTED) failedInstance(error);
    drop(channel);
    return;
  }
  admit(channel);
}

void Server::admit(Channel* channel) {
  ULONG pid = 0;
  if (GetNamedPipeClientProcessId(channel->pipe.get(), &pid))
    channel->connection = owner_.connect(pid);
  if (!channel->connection) {
    {
      SrwLockGuard guard(lock_);
      ++tally_.unknown;
    }
    close(channel, false);
    return;
  }
  channel->heardAt = GetTickCount64();
  channel->waiting = Waiting::kRequest;
  {
    SrwLockGuard guard(lock_);
    ConnectionBook::Admission admission;
    if (!stopping_) {
      channel->id = ++lastId_;
      admission = book_.admit(channel->id, channel->connection->user(), [this](std::uint64_t id) {
        return admitted_.at(id)->connection->holdsEntries();
      });
    }
    if (admission.admitted) admitted_.emplace(channel->id, channel);
    if (admission.displaced) {
      Channel* other = admitted_.at(*admission.displaced);
      admitted_.erase(*admission.displaced);
      other->id = 0;
      other->closing = true;
      CancelIoEx(other->pipe.get(), nullptr);
    }
    if (!stopping_)
      tally_.overBounds += (admission.admitted ? 0 : 1) + (admission.displaced ? 1 : 0);
    if (!admission.admitted) {
      channel->id = 0;
      channel->closing = true;
    }
  }
  read(channel);
}

void Server::read(Channel* channel) {
  {
    SrwLockGuard guard(lock_);
    if (!channel->closing) {
      channel->io = OVERLAPPED{};
      // Done at once or pending, its completion comes to the port.
      if (ReadFile(channel->pipe.get(), channel->piece, sizeof channel->piece, nullptr,
                   &channel->io) ||
          GetLastError() == ERROR_IO_PENDING) {
        return;
      }
    }
  }
  close(channel, false);
}

void Server::requestCame(Channel* channel, DWORD bytes, DWORD error) {
  if (error != ERROR_SUCCESS || bytes == 0) {
    close(channel, false);
    return;
  }
  channel->heardAt = GetTickCount64();
  channel->received.append(channel->piece, bytes);
  FrameTaken<ServiceRequest> frame;
  while ((frame = takeServiceRequest(channel->received)).read == FrameRead::kWhole) {
    channel->received.erase(0, frame.used);
    if (!replyToRequest(*channel, frame.content)) {
      close(channel, false);
      return;
    }
  }
  if (frame.read == FrameRead::kMalformed) {
    close(channel, true);
    return;
  }
  read(channel);
}

// What the connection's requests get; false when the connection is done.
bool Server::replyToRequest(Channel& channel, const ServiceRequest& request) {
  PipeConnection& connection = *channel.connection;
  std::string reply;
  switch (request.op) {
    case ServiceOp::kHello:
      reply = encodeServiceReply(connection.hello(request.version));
      break;
    case ServiceOp::kAdd:
      reply = encodeServiceReply(connection.add(request.entry));
      break;
    case ServiceOp::kList:
      reply = encodeServiceReply(connection.list());
      break;
    case ServiceOp::kEnd: {
      const ConnectionEnd ended = connection.end();
      reply = encodeServiceReply(ended.reply);
      reply += reportFrame(ended.report).value_or(std::string());
      break;
    }
  }
  return writeAll(channel.pipe.get(), channel.written.get(), reply, stop_, limits_.writeMs);
}

void Server::close(Channel* channel, bool malformed) {
  if (channel->connection) channel->connection->closed(malformed);
  DisconnectNamedPipe(channel->pipe.get());
  drop(channel);
}

// Forgets the channel, which has no I/O left: its instance and connection
// go, outside the lock (a connection's end may take a while).
void Server::drop(Channel* channel) {
  std::unique_ptr<Channel> owned;
  {
    SrwLockGuard guard(lock_);
    if (channel->id != 0) {
      book_.remove(channel->id);
      admitted_.erase(channel->id);
    }
    if (channel->idleClosed) ++tally_.idle;
    const auto it = channels_.find(channel);
    if (it != channels_.end()) {
      owned = std::move(it->second);
      channels_.erase(it);
    }
  }
}

void Server::closeIdle() {
  const ULONGLONG now = GetTickCount64();
  SrwLockGuard guard(lock_);
  for (auto& [id, channel] : admitted_) {
    if (channel->closing || channel->connection->holdsEntries() ||
        now - channel->heardAt < limits_.idleMs) {
      continue;
    }
    channel->closing = true;
    channel->idleClosed = true;
    CancelIoEx(channel->pipe.get(), nullptr);
  }
}

}  // namespace

SystemResult servePipe(HANDLE stop, PipeOwner& owner, const PipeLimits& limits) {
  Server server(stop, owner, limits);
  return server.run();
}

}  // namespace varnick
