#include "hosts/memory_store.h"

#include <algorithm>
#include <utility>

namespace varnick {
namespace {

constexpr std::uint32_t kNoSuchFile = 2;
constexpr std::uint32_t kExists = 17;
constexpr std::uint32_t kBadAccess = 9;
constexpr std::uint32_t kBusyCode = 16;
constexpr std::uint32_t kBadName = 22;

// Where a write that made `after` of `before` is cut in half: halfway
// through the bytes it changed.
std::size_t halfWritten(const std::string& before, const std::string& after) {
  std::size_t same = 0;
  while (same < before.size() && same < after.size() && before[same] == after[same])
    ++same;
  return same + (after.size() - same) / 2;
}

// `before` with the first half of that write on the disk, `size` bytes long.
std::string torn(const std::string& before, const std::string& after, std::size_t size) {
  const std::size_t half = halfWritten(before, after);
  std::string bytes = after.substr(0, half);
  if (before.size() > half) bytes.append(before.substr(half));
  bytes.resize(size);
  return bytes;
}

bool onlyAppended(const std::string& before, const std::string& after) {
  return after.size() > before.size() && after.compare(0, before.size(), before) == 0;
}

// How long a torn file is: its old length or its new one, or for an
// append, up to the half of it that reached the disk.
std::vector<std::size_t> tornSizes(const std::string& before, const std::string& after) {
  if (onlyAppended(before, after)) return {halfWritten(before, after)};
  return {before.size(), after.size()};
}

// The disk as the next start finds it: the names `names`, each file with
// the bytes `bytesOf` gives it, all of it lasting now.
template <typename BytesOf>
MemoryDisk afterCut(const MemoryDisk& disk, const std::map<std::string, std::uint64_t>& names,
                    BytesOf bytesOf) {
  MemoryDisk cut;
  cut.names = names;
  cut.durableNames = names;
  cut.nextInode = disk.nextInode;
  for (const auto& [name, inode] : names) {
    const MemoryInode& file = disk.inodes.at(inode);
    const std::string bytes = bytesOf(inode, file);
    cut.inodes[inode] = MemoryInode{bytes, bytes, file.changes};
  }
  return cut;
}

std::string current(std::uint64_t, const MemoryInode& file) { return file.current; }
std::string durable(std::uint64_t, const MemoryInode& file) { return file.durable; }

bool sameDisk(const MemoryDisk& a, const MemoryDisk& b) {
  return a.names == b.names && a.contents() == b.contents();
}

}  // namespace

MemoryDisk MemoryDisk::holding(const std::string& hostsName, const std::string& content) {
  MemoryDisk disk;
  const std::uint64_t inode = disk.nextInode++;
  disk.names[hostsName] = inode;
  disk.durableNames = disk.names;
  disk.inodes[inode] = MemoryInode{content, content, 0};
  return disk;
}

std::map<std::string, std::string> MemoryDisk::contents() const {
  std::map<std::string, std::string> files;
  for (const auto& [name, inode] : names)
    files[name] = inodes.at(inode).current;
  return files;
}

const char* crashModeText(CrashMode mode) {
  switch (mode) {
    case CrashMode::kAllLost:
      return "every unflushed write lost";
    case CrashMode::kAllKept:
      return "every unflushed write kept";
    case CrashMode::kFileLost:
      return "one file's unflushed writes lost";
    case CrashMode::kNamesLost:
      return "the folder's unflushed names lost";
    case CrashMode::kTorn:
      break;
  }
  return "half of one file's unflushed writes kept, everything else lost";
}

MemoryDisk lostState(const MemoryDisk& disk) { return afterCut(disk, disk.durableNames, durable); }

std::vector<CrashState> crashStates(const MemoryDisk& disk, const TearsWrite& tears) {
  std::vector<CrashState> states;
  auto add = [&states](CrashMode mode, std::string file, MemoryDisk cut) {
    for (const CrashState& state : states) {
      if (sameDisk(state.disk, cut)) return;
    }
    states.push_back({mode, std::move(file), std::move(cut)});
  };
  add(CrashMode::kAllLost, {}, lostState(disk));
  add(CrashMode::kAllKept, {}, afterCut(disk, disk.names, current));
  for (const auto& [name, inode] : disk.names) {
    const MemoryInode& file = disk.inodes.at(inode);
    if (file.current == file.durable) continue;
    add(CrashMode::kFileLost, name,
        afterCut(disk, disk.names, [lost = inode](std::uint64_t at, const MemoryInode& each) {
          return at == lost ? each.durable : each.current;
        }));
  }
  add(CrashMode::kNamesLost, {}, afterCut(disk, disk.durableNames, current));
  for (const auto& [name, inode] : disk.durableNames) {
    const MemoryInode& file = disk.inodes.at(inode);
    if (file.current == file.durable || !tears(name, onlyAppended(file.durable, file.current)))
      continue;
    for (const std::size_t size : tornSizes(file.durable, file.current)) {
      add(CrashMode::kTorn, name,
          afterCut(disk, disk.durableNames,
                   [tornInode = inode, size](std::uint64_t at, const MemoryInode& each) {
                     return at == tornInode ? torn(each.durable, each.current, size) : each.durable;
                   }));
    }
  }
  return states;
}

// An open file of the store. A journal stays held while it is open.
class MemoryStore::File final : public StoreFile {
 public:
  File(MemoryStore& store, std::string name, std::uint64_t inode, Access access, bool held)
      : store_(store), name_(std::move(name)), inode_(inode), access_(access), held_(held) {
    if (held_) store_.held_.insert(inode_);
  }
  ~File() override {
    if (held_) store_.held_.erase(inode_);
  }

  std::uint64_t inode() const { return inode_; }
  void rename(std::string name) { name_ = std::move(name); }

  const std::string& name() const override { return name_; }
  StoreResult<std::string> readAll() override { return bytes(); }
  StoreResult<std::optional<char>> lastByte() override {
    if (bytes().empty()) return std::optional<char>();
    return std::optional<char>(bytes().back());
  }
  StoreResult<void> append(std::string_view more) override {
    return write("append", [more](std::string& bytes) { bytes.append(more); });
  }
  StoreResult<void> overwrite(std::string_view content) override {
    return write("overwrite", [content](std::string& bytes) { bytes.assign(content); });
  }
  StoreResult<void> truncate(std::uint64_t size) override {
    return write("truncate", [size](std::string& bytes) {
      bytes.resize(std::min<std::uint64_t>(size, bytes.size()));
    });
  }
  StoreResult<void> flush() override {
    MemoryInode& file = store_.disk_.inodes.at(inode_);
    file.durable = file.current;
    store_.record("flush " + name_);
    return {};
  }
  StoreResult<std::string> identity() override { return std::to_string(inode_); }
  StoreResult<std::string> stamp() override { return store_.stampOf(inode_); }
  StoreResult<void> remove() override {
    const std::optional<std::uint64_t> named = store_.inodeOf(name_);
    if (named != inode_) return storeFailure(StoreFault::kMissing, kNoSuchFile);
    store_.disk_.names.erase(name_);
    store_.record("remove " + name_);
    return {};
  }

 private:
  std::string& bytes() { return store_.disk_.inodes.at(inode_).current; }

  template <typename Change>
  StoreResult<void> write(const char* operation, Change change) {
    if (access_ != Access::kWrite) return storeFailure(StoreFault::kFailed, kBadAccess);
    MemoryInode& file = store_.disk_.inodes.at(inode_);
    change(file.current);
    ++file.changes;
    store_.record(std::string(operation) + " " + name_);
    return {};
  }

  MemoryStore& store_;
  std::string name_;
  std::uint64_t inode_;
  Access access_;
  bool held_;
};

class MemoryStore::Hold final : public StoreHold {
 public:
  explicit Hold(bool& locked) : locked_(locked) { locked_ = true; }
  ~Hold() override { locked_ = false; }

 private:
  bool& locked_;
};

MemoryStore::MemoryStore(MemoryDisk disk, std::string_view lineEnd, bool mountPoint)
    : disk_(std::move(disk)), lineEnd_(lineEnd), mountPoint_(mountPoint) {
  record("start");
}

MemoryStore::~MemoryStore() = default;

void MemoryStore::appendAsAnotherProgram(std::string_view line) {
  MemoryInode& hosts = disk_.inodes.at(disk_.names.at(kHostsName));
  if (!hosts.current.empty() && hosts.current.back() != '\n') hosts.current.append(lineEnd_);
  hosts.current.append(line).append(lineEnd_);
  hosts.durable = hosts.current;
  ++hosts.changes;
  record(kAnotherProgram);
}

void MemoryStore::appendAsAnotherProgramAfter(std::string operation, std::string line) {
  interruption_.emplace(std::move(operation), std::move(line));
}

std::string MemoryStore::shownPath(std::string_view name) const {
  return std::string("/etc/").append(name);
}

StoreResult<std::string> MemoryStore::randomBytes(std::size_t count) {
  std::string bytes;
  for (std::size_t i = 0; i < count; ++i)
    bytes.push_back(static_cast<char>(++randomCounter_ * 151u));
  return bytes;
}

StoreResult<std::unique_ptr<StoreHold>> MemoryStore::lockWrites(std::uint32_t) {
  // Held twice by one process would wait for itself for ever.
  if (locked_) return storeFailure(StoreFault::kBusy, kBusyCode);
  return std::unique_ptr<StoreHold>(std::make_unique<Hold>(locked_));
}

StoreResult<OpenFile> MemoryStore::openHostsToAppend() {
  const std::optional<std::uint64_t> hosts = inodeOf(kHostsName);
  if (!hosts) return storeFailure(StoreFault::kMissing, kNoSuchFile);
  return open(kHostsName, *hosts, Access::kWrite, false);
}

StoreResult<OpenFile> MemoryStore::openHostsToRead() {
  const std::optional<std::uint64_t> hosts = inodeOf(kHostsName);
  if (!hosts) return storeFailure(StoreFault::kMissing, kNoSuchFile);
  return open(kHostsName, *hosts, Access::kRead, false);
}

StoreResult<std::string> MemoryStore::hostsStamp() {
  const std::optional<std::uint64_t> hosts = inodeOf(kHostsName);
  if (!hosts) return storeFailure(StoreFault::kMissing, kNoSuchFile);
  return stampOf(*hosts);
}

StoreResult<std::string> MemoryStore::hostsIdentity() {
  const std::optional<std::uint64_t> hosts = inodeOf(kHostsName);
  if (!hosts) return storeFailure(StoreFault::kMissing, kNoSuchFile);
  return std::to_string(*hosts);
}

StoreResult<OpenFile> MemoryStore::createReplacement(StoreFile&) { return createBeside("new"); }

StoreResult<void> MemoryStore::swapIn(StoreFile& next) {
  if (mountPoint_) return storeFailure(StoreFault::kNoRename, kBusyCode);
  auto* file = dynamic_cast<File*>(&next);
  if (file == nullptr || inodeOf(file->name()) != file->inode())
    return storeFailure(StoreFault::kMissing, kNoSuchFile);
  disk_.names.erase(file->name());
  disk_.names[kHostsName] = file->inode();
  record("swap " + file->name() + " in");
  file->rename(kHostsName);
  return {};
}

StoreResult<OpenFile> MemoryStore::openHostsToRewrite(const std::string& stamp) {
  const std::optional<std::uint64_t> hosts = inodeOf(kHostsName);
  if (!hosts) return storeFailure(StoreFault::kMissing, kNoSuchFile);
  if (stampOf(*hosts) != stamp) return storeFailure(StoreFault::kStale, 0);
  return open(kHostsName, *hosts, Access::kWrite, false);
}

StoreResult<std::vector<std::string>> MemoryStore::listNames() {
  std::vector<std::string> names;
  for (const auto& [name, inode] : disk_.names)
    names.push_back(name);
  return names;
}

StoreResult<OpenFile> MemoryStore::createJournal(const std::string& name) {
  if (!isBareFileName(name)) return storeFailure(StoreFault::kFailed, kBadName);
  if (inodeOf(name)) return storeFailure(StoreFault::kFailed, kExists);
  const std::uint64_t inode = disk_.nextInode++;
  disk_.inodes[inode] = {};
  disk_.names[name] = inode;
  record("create " + name);
  return open(name, inode, Access::kWrite, true);
}

StoreResult<OpenFile> MemoryStore::openJournal(const std::string& name) {
  if (!isBareFileName(name)) return storeFailure(StoreFault::kFailed, kBadName);
  const std::optional<std::uint64_t> inode = inodeOf(name);
  if (!inode) return storeFailure(StoreFault::kMissing, kNoSuchFile);
  if (held_.count(*inode) != 0) return storeFailure(StoreFault::kHeld, kBusyCode);
  return open(name, *inode, Access::kWrite, true);
}

StoreResult<OpenFile> MemoryStore::createCopy() { return createBeside("copy"); }

StoreResult<OpenFile> MemoryStore::openToRead(const std::string& name) {
  if (!isBareFileName(name)) return storeFailure(StoreFault::kFailed, kBadName);
  const std::optional<std::uint64_t> inode = inodeOf(name);
  if (!inode) return storeFailure(StoreFault::kMissing, kNoSuchFile);
  return open(name, *inode, Access::kRead, false);
}

StoreResult<void> MemoryStore::removeFile(const std::string& name) {
  if (!isBareFileName(name)) return storeFailure(StoreFault::kFailed, kBadName);
  if (!inodeOf(name)) return storeFailure(StoreFault::kMissing, kNoSuchFile);
  disk_.names.erase(name);
  record("remove " + name);
  return {};
}

StoreResult<void> MemoryStore::flushFolder() {
  disk_.durableNames = disk_.names;
  record("flush the folder");
  return {};
}

void MemoryStore::record(std::string operation) {
  const bool interrupted = interruption_ && operation.rfind(interruption_->first, 0) == 0;
  steps_.push_back({std::move(operation), disk_});
  if (!interrupted) return;
  const std::string line = std::move(interruption_->second);
  interruption_.reset();
  appendAsAnotherProgram(line);
}

std::optional<std::uint64_t> MemoryStore::inodeOf(const std::string& name) const {
  const auto found = disk_.names.find(name);
  if (found == disk_.names.end()) return std::nullopt;
  return found->second;
}

std::string MemoryStore::stampOf(std::uint64_t inode) const {
  const MemoryInode& file = disk_.inodes.at(inode);
  return std::to_string(inode) + ":" + std::to_string(file.current.size()) + ":" +
         std::to_string(file.changes);
}

OpenFile MemoryStore::open(const std::string& name, std::uint64_t inode, Access access, bool held) {
  return std::make_unique<File>(*this, name, inode, access, held);
}

StoreResult<OpenFile> MemoryStore::createBeside(const std::string& kind) {
  const std::uint64_t inode = disk_.nextInode++;
  const std::string name =
      "." + std::string(kHostsName) + ".varnick-" + kind + "-" + std::to_string(inode);
  disk_.inodes[inode] = {};
  disk_.names[name] = inode;
  record("create " + name);
  return open(name, inode, Access::kWrite, false);
}

}  // namespace varnick
