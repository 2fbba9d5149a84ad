// The new content of the hosts file, written beside it and swapped in whole.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <string>

#include "base/unique_resource.h"
#include "hosts/replacement.h"

namespace varnick {

// The system's clock for the retries.
class SystemClock final : public RetryClock {
 public:
  std::uint64_t nowMs() override { return GetTickCount64(); }
  void sleepMs(std::uint32_t ms) override { Sleep(ms); }
};

// Keeps other Varnick processes from writing to the hosts file until it is
// released. Two replacements that each start from the old content would lose
// one of the two, and they share the new file's name; an add that lands
// after a del let go of the hosts file and before its new content is in
// would be lost with the old file. So every Varnick writer takes it: an add
// for its one write, a del or a restore from the first read to the rename.
class HostsWriteLock {
 public:
  HostsWriteLock();
  // 0 when held, else the error code (ERROR_TIMEOUT when another Varnick
  // kept it for too long).
  DWORD error() const { return error_; }

 private:
  struct Releaser {
    void operator()(HANDLE mutex) const;
  };
  UniqueHandle mutex_;
  std::unique_ptr<void, Releaser> held_;
  DWORD error_ = ERROR_SUCCESS;
};

// Opens the hosts file for reading so that no other process can write to it
// while the handle is open, though it may read it. Retries while another
// process holds the file in a way that conflicts. An invalid handle on
// failure, with the error code left for GetLastError.
UniqueFile openHostsFileForRebuild(RetryClock& clock);

// "hosts.varnick-new" in the hosts file's directory: created (or a leftover
// overwritten) for writing, then flushed, given the hosts file's security
// descriptor and attributes, and renamed over the hosts file by commit.
// Unless committed, the file is removed when the object ends.
class NewHostsFile final : private ReplacementSteps {
 public:
  NewHostsFile();
  ~NewHostsFile() override;
  NewHostsFile(const NewHostsFile&) = delete;
  NewHostsFile& operator=(const NewHostsFile&) = delete;

  // Creates the file empty: 0 or the error code.
  DWORD create();
  // Creates it as a copy of `source`: 0 or the error code.
  DWORD copyFrom(const wchar_t* source);
  // Appends `size` bytes: 0 or the error code (a short write counts as failed).
  DWORD write(const void* data, DWORD size);
  // Flushes the file and swaps it in for the hosts file; on failure the hosts
  // file keeps its content and the new file is removed. With `unchanged`,
  // each try first asks it whether the hosts file is still as the new
  // content was made from, and gives up as stale when it is not.
  [[nodiscard]] CommitResult commit(RetryClock& clock, std::function<bool()> unchanged = nullptr);

  const std::wstring& path() const { return path_; }

 private:
  DWORD openForWriting(DWORD disposition);
  DWORD takeOverIdentity();
  std::uint32_t flushAndClose() override;
  StepResult swapIn() override;
  void discard() override;

  std::wstring path_;
  UniqueFile file_;
  std::function<bool()> unchanged_;
  bool identityTaken_ = false;
  bool committed_ = false;
};

}  // namespace varnick
