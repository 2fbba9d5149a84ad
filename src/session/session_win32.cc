#include "session/session_win32.h"

#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>

#include "base/error_text.h"
#include "base/unique_resource_win32.h"
#include "base/wide_text.h"
#include "hosts/hosts_location.h"
#include "session/service_transport_win32.h"
#include "session/session_driver.h"
#include "session/varnick_transport_win32.h"

namespace varnick::control {
namespace {

constexpr DWORD kCommandGraceMs = 3000;
// How a process ended by Ctrl+C exits on Windows (STATUS_CONTROL_C_EXIT);
// under Wine it exits with 0.
constexpr DWORD kControlCExit = 0xC000013A;
// Long enough for a console event's handler thread to start, too short for
// a person to notice.
constexpr DWORD kEventLagMs = 50;

bool onConsole() {
  DWORD process = 0;
  return GetConsoleProcessList(&process, 1) != 0;
}

// Reads standard input until a line ends, then stops the session. At the
// end of the input it stops the session only when `kEndOfInputStops`: a
// script closes a session without a time that way, while a session with
// one keeps its time whatever its input is (NUL, a closed pipe, none).
template <bool kEndOfInputStops>
DWORD WINAPI waitForEnter(void* stop) {
  int c;
  while ((c = std::fgetc(stdin)) != EOF && c != '\n') {
  }
  if (c == '\n' || kEndOfInputStops) SetEvent(static_cast<HANDLE>(stop));
  return 0;
}

// What only Windows does while a session runs: the console's events, the
// command's process, and standard input read on a thread of its own.
class WindowsHost final : public SessionHost {
 public:
  WindowsHost(const std::optional<CommandToRun>& command, const Interruption& interruption)
      : command_(command), interruption_(interruption) {}

  // varnick.exe, when it is the way in: its end while the command runs is said.
  void watch(HANDLE varnick) { varnick_ = varnick; }

  std::optional<int> interruption() const override {
    if (!interruption_.happened()) return std::nullopt;
    return kSessionInterrupted;
  }

  // Read in pieces: a large hosts file need not be in memory for this.
  void readHostsFile(const std::function<void(std::string_view)>& feed) const override {
    UniqueFile file(CreateFileW(hostsFilePath(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) return;
    std::vector<char> piece(1 << 20);
    DWORD got = 0;
    while (ReadFile(file.get(), piece.data(), static_cast<DWORD>(piece.size()), &got, nullptr) &&
           got != 0) {
      feed(std::string_view(piece.data(), got));
    }
  }

  CommandEnd runCommand() override;
  int holdUntilEnter(std::optional<int> holdSeconds) override;

  // Whether a console event that ended the command reaches this process
  // within kEventLagMs of the command's end; waits only for what is left
  // of that.
  bool interruptedLate() override {
    if (!lateEventFrom_) return false;
    const std::uint64_t since = GetTickCount64() - *lateEventFrom_;
    if (since < kEventLagMs)
      WaitForSingleObject(interruption_.stop, static_cast<DWORD>(kEventLagMs - since));
    return interruption_.happened();
  }

 private:
  const std::optional<CommandToRun>& command_;
  Interruption interruption_;
  HANDLE varnick_ = nullptr;
  std::optional<std::uint64_t> lateEventFrom_;  // when the command ended, if an event may follow
};

CommandEnd WindowsHost::runCommand() {
  Expected<UniqueHandle, std::uint32_t> child = startCommand(*command_);
  if (!child) {
    report(withCode("could not start " + wideToUtf8(command_->application.c_str()), child.error()));
    return {kSessionNoCommand, false};
  }
  // Through the service there is no Varnick process to watch.
  HANDLE waits[] = {child->get(), interruption_.stop, varnick_};
  const DWORD watched = varnick_ != nullptr ? 3 : 2;
  DWORD woke = WaitForMultipleObjects(watched, waits, FALSE, INFINITE);
  if (woke == WAIT_OBJECT_0 + 2) {
    report("varnick.exe ended while the command was running");
    woke = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
  }
  if (woke != WAIT_OBJECT_0) {
    // Interrupted: the command got the same console event; give it a moment.
    WaitForSingleObject(child->get(), kCommandGraceMs);
    return {kSessionInterrupted, false};
  }
  DWORD code = 0;
  if (!GetExitCodeProcess(child->get(), &code)) {
    const DWORD error = GetLastError();
    report(withCode("could not read the command's exit code", error));
    return {kSessionNoCommand, false};
  }
  // A Ctrl+C reaches every process on the console at about the same moment,
  // and may end the command before this process's handler has run.
  // The session's end goes on meanwhile, and interruptedLate() waits for
  // what is left of that moment afterwards.
  if (code == kControlCExit || onConsole()) lateEventFrom_ = GetTickCount64();
  if (interruption_.happened()) return {kSessionInterrupted, false};
  return {static_cast<int>(code), true};
}

int WindowsHost::holdUntilEnter(std::optional<int> holdSeconds) {
  const DWORD wait = holdSeconds ? static_cast<DWORD>(*holdSeconds) * 1000 : INFINITE;
  UniqueHandle reader(CreateThread(nullptr, 0,
                                   holdSeconds ? waitForEnter<false> : waitForEnter<true>,
                                   interruption_.stop, 0, nullptr));
  if (!reader) {
    const DWORD error = GetLastError();
    notice("could not watch standard input for Enter " + errorInParentheses(error) +
           ": only Ctrl+C" + (holdSeconds ? " or the time given" : "") + " removes the entries");
  }
  WaitForSingleObject(interruption_.stop, wait);
  return interruption_.happened() ? kSessionInterrupted : 0;
}

}  // namespace

SessionOutcome runSession(const SessionOptions& options, const std::vector<SessionEntry>& entries,
                          const std::optional<CommandToRun>& command,
                          const Interruption& interruption, const EventStream& events) {
  if (Expected<void, LocateFailure> located = locateHostsFile(); !located) {
    const std::string text =
        "could not find the hosts file through the registry value DataBasePath";
    const std::uint32_t code = located.error().code;
    report("hosts-file-not-found", code != 0 ? withCode(text, code) : text);
    return unexpected(kSessionNoVarnick);
  }
  WindowsHost host(command, interruption);
  const SessionPlan plan{entries, wideToUtf8(hostsFilePath()), command.has_value(),
                         options.holdSeconds};
  // Through the Varnick service, when it runs and takes every entry: no
  // consent and no elevated Varnick. A server's restore needs Varnick.
  ServiceAnswer answer;
  if (!options.backupPath) {
    ServiceTransport service(options, events);
    Expected<ServiceTransport::Opened, int> opened = service.open(host, entries, answer);
    if (!opened) return unexpected(opened.error());
    if (*opened == ServiceTransport::Opened::kTaken)
      return driveSession(service, host, plan, events);
  }
  VarnickTransport varnick(options, events);
  if (SessionStep opened = varnick.open(answer, interruption.stop); !opened)
    return unexpected(opened.error());
  host.watch(varnick.varnickProcess());
  return driveSession(varnick, host, plan, events);
}

}  // namespace varnick::control
