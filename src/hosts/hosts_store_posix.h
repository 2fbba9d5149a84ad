// The session engine's store on Linux: the hosts file and the files beside
// it, every one opened through a descriptor without following a link; the
// journals root's, mode 0600, held with flock for as long as they are open;
// the write lock in the lock folder (hosts_lock_posix.h).
#pragma once

#include "hosts/hosts_places_posix.h"
#include "hosts/hosts_store.h"
#include "hosts/system_clock_posix.h"

namespace varnick {

class PosixHostsStore final : public HostsStore {
 public:
  explicit PosixHostsStore(HostsPlaces places) : places_(std::move(places)) {}

  std::string hostsName() const override;
  std::string_view lineEnd() const override { return "\n"; }
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

  const HostsPlaces& places() const { return places_; }

 private:
  std::string besideHostsFile(std::string_view name) const;
  StoreResult<OpenFile> openHostsFile(int flags);
  StoreResult<OpenFile> createBeside();

  HostsPlaces places_;
  SystemClock clock_;
};

}  // namespace varnick
