// The session engine's store on Windows: the hosts file and the files
// beside it, in a folder that only administrators may change. The new hosts
// file is NewHostsFile's, renamed over it through its handle; the journals
// are held by opening them with no sharing but reading, and carry access
// rules of their own; the write lock is HostsLock's. One store serves every
// thread of a process: it keeps no state of its own.
#pragma once

#include "hosts/hosts_store.h"
#include "hosts/system_clock_win32.h"

namespace varnick {

// The patterns under which a session's files are found beside the hosts
// file (journal_file.h names them), for those who list them by hand.
constexpr wchar_t kSessionJournals[] = L"hosts.varnick-session-*.journal";
constexpr wchar_t kSessionBackups[] = L"hosts.varnick-session-*.backup";  // older Varnicks'

class Win32HostsStore final : public HostsStore {
 public:
  std::string hostsName() const override { return "hosts"; }
  std::string_view lineEnd() const override { return "\r\n"; }
  std::uint32_t invalidContentCode() const override;
  std::string shownPath(std::string_view name) const override;
  StoreResult<std::string> randomBytes(std::size_t count) override;
  RetryClock& clock() override { return clock_; }
  StoreResult<std::unique_ptr<StoreHold>> lockWrites(std::uint32_t waitMs) override;

  StoreResult<OpenFile> openHostsToAppend() override;
  StoreResult<OpenFile> openHostsToRead() override;
  StoreResult<std::string> hostsStamp() override;
  StoreResult<std::string> hostsIdentity() override;
  StoreResult<OpenFile> createReplacement(StoreFile& hosts) override;
  StoreResult<void> swapIn(StoreFile& next) override;
  StoreResult<OpenFile> openHostsToRewrite(const std::string& stamp) override;

  StoreResult<std::vector<std::string>> listNames() override;
  StoreResult<OpenFile> createJournal(const std::string& name) override;
  StoreResult<OpenFile> openJournal(const std::string& name) override;
  StoreResult<OpenFile> createCopy() override;
  StoreResult<OpenFile> openToRead(const std::string& name) override;
  StoreResult<void> removeFile(const std::string& name) override;
  StoreResult<void> flushFolder() override;

 private:
  SystemClock clock_;
};

}  // namespace varnick
