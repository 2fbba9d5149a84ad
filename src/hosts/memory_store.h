// A store in memory for the unit tests: one folder whose files and names
// know what a power cut would leave of them, the way SQLite's crash tests
// model a disk. A file's writes last a power cut once it is flushed; a
// name made, renamed or removed lasts once the folder is flushed. Every
// operation that changes the disk is recorded with the disk after it, so a
// test can build what a crash leaves after each prefix of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "hosts/hosts_store.h"
#include "hosts/replacement.h"

namespace varnick {

// One file, known by its number.
struct MemoryInode {
  std::string current;  // what a read sees
  std::string durable;  // what a power cut leaves
  std::uint64_t changes = 0;
};

// The folder and its files: a value, so that every step keeps one.
struct MemoryDisk {
  std::map<std::string, std::uint64_t> names;         // as a listing sees them
  std::map<std::string, std::uint64_t> durableNames;  // as a power cut leaves them
  std::map<std::uint64_t, MemoryInode> inodes;        // named or still open
  std::uint64_t nextInode = 1;

  // A folder holding only `hostsName` with `content`, all of it on the disk.
  static MemoryDisk holding(const std::string& hostsName, const std::string& content);
  // What a read sees of each name.
  std::map<std::string, std::string> contents() const;
};

// What a power cut left of the writes and names not yet flushed.
enum class CrashMode {
  kAllLost,    // every one lost
  kAllKept,    // every one kept
  kFileLost,   // one file's writes lost, everything else kept
  kNamesLost,  // the folder's changes lost, every file's writes kept
  kTorn,       // everything lost but the first half of one file's writes
};

[[nodiscard]] const char* crashModeText(CrashMode mode);

struct CrashState {
  CrashMode mode = CrashMode::kAllLost;
  std::string file;  // the file that kFileLost concerns
  MemoryDisk disk;   // as the next start finds it: everything on it lasts
};

// Whether a power cut can leave half of the unflushed writes to the file
// `name`, which were only appended to it or not.
using TearsWrite = std::function<bool(const std::string& name, bool appended)>;

// The distinct disks a power cut can leave of `disk`. A file whose writes
// `tears` can keep the first half of them: written over, with its old
// length or its new one; appended to, up to that half.
[[nodiscard]] std::vector<CrashState> crashStates(const MemoryDisk& disk, const TearsWrite& tears);

// The disk a power cut leaves when it loses every write and name not flushed.
[[nodiscard]] MemoryDisk lostState(const MemoryDisk& disk);

// One operation that changed the disk, and the disk after it.
struct MemoryStep {
  std::string operation;
  MemoryDisk disk;
};

class MemoryStore final : public HostsStore {
 public:
  // A store over `disk`, as a process that starts finds it: no journal held.
  // `mountPoint`: the hosts file is a mount point of its own, which no
  // rename replaces.
  MemoryStore(MemoryDisk disk, std::string_view lineEnd, bool mountPoint);
  ~MemoryStore() override;

  const MemoryDisk& disk() const { return disk_; }
  // The disk as the store was made, then after each operation that changed it.
  const std::vector<MemoryStep>& steps() const { return steps_; }

  // Another program appends `line` to the hosts file, after a line end of
  // its own when the file does not end in one, and flushes it.
  void appendAsAnotherProgram(std::string_view line);
  // The same, once, right after the first operation whose description
  // starts with `operation`: a write that lands in the middle of another.
  void appendAsAnotherProgramAfter(std::string operation, std::string line);

  std::string hostsName() const override { return kHostsName; }
  std::string_view lineEnd() const override { return lineEnd_; }
  std::uint32_t invalidContentCode() const override { return kInvalidContent; }
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

  static constexpr const char* kHostsName = "hosts";
  static constexpr std::uint32_t kInvalidContent = 74;
  // How a step of another program's append is described.
  static constexpr const char* kAnotherProgram = "another program appends to hosts";

 private:
  class File;
  class Hold;
  class Clock final : public RetryClock {
   public:
    std::uint64_t nowMs() override { return nowMs_; }
    void sleepMs(std::uint32_t ms) override { nowMs_ += ms; }

   private:
    std::uint64_t nowMs_ = 0;
  };

  enum class Access { kRead, kWrite };

  void record(std::string operation);
  std::optional<std::uint64_t> inodeOf(const std::string& name) const;
  std::string stampOf(std::uint64_t inode) const;
  OpenFile open(const std::string& name, std::uint64_t inode, Access access, bool held);
  StoreResult<OpenFile> createBeside(const std::string& kind);

  MemoryDisk disk_;
  std::vector<MemoryStep> steps_;
  std::string lineEnd_;
  bool mountPoint_;
  bool locked_ = false;
  std::set<std::uint64_t> held_;  // the journals this process holds
  std::uint32_t randomCounter_ = 0;
  std::optional<std::pair<std::string, std::string>> interruption_;  // operation, line
  Clock clock_;
};

}  // namespace varnick
