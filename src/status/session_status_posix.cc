#include "status/session_status_posix.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <optional>
#include <string>

#include "base/unique_fd_posix.h"
#include "hosts/file_io_posix.h"
#include "hosts/hosts_lock_posix.h"
#include "hosts/hosts_store_posix.h"
#include "hosts/journal_file.h"
#include "status/mount_info.h"
#include "status/status_json.h"
#include "status/status_lines.h"

namespace varnick::control {
namespace {

std::optional<std::uint64_t> sizeOf(const std::string& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
  return static_cast<std::uint64_t>(status.st_size);
}

// Whether another process holds a flock on the open file: the lock is
// taken without waiting and let go at once. A half that comes in that
// instant finds it held and tries again, or takes the journal for a
// running session's, which the next recovery puts right.
bool heldByAnother(int fd) {
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
    ::flock(fd, LOCK_UN);
    return false;
  }
  return errno == EWOULDBLOCK;
}

// A bind mount over /etc/hosts lies on another device than /etc, or is
// listed as a mount point of its own.
bool hostsFileMounted(const HostsPlaces& places) {
  struct stat file {};
  struct stat folder {};
  if (::stat(places.hostsFile.c_str(), &file) == 0 &&
      ::stat(places.hostsFolder.c_str(), &folder) == 0 && file.st_dev != folder.st_dev) {
    return true;
  }
  UniqueFd mounts(::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC));
  if (!mounts) return false;
  Expected<std::string, Errno> text = readAll(mounts.get());
  return text && listsMountPoint(*text, places.hostsFile);
}

// Each journal beside the hosts file; read, and looked at for its half's
// lock, when this process may open it.
void lookAtJournals(StatusFacts& facts, const HostsPlaces& places, bool root) {
  const std::unique_ptr<HostsStore> hosts = makePosixHostsStore(places);
  HostsStore& store = *hosts;
  StoreResult<std::vector<std::string>> found = findSessionJournals(store);
  if (!found) {
    facts.sessionFilesError = found.error().code;
    return;
  }
  std::vector<std::string> paths;
  for (const std::string& name : *found)
    paths.push_back(store.shownPath(name));
  std::sort(paths.begin(), paths.end());
  facts.journalsOpened = root;
  for (const std::string& path : paths) {
    JournalFact fact;
    fact.journal = {path, sizeOf(path)};
    // The journals are root's alone: another user may only name them.
    if (!root) fact.readError = EACCES;
    if (root) {
      Expected<UniqueFd, Errno> file = openPlainFile(path, O_RDONLY);
      Expected<std::string, Errno> bytes =
          file ? readAll(file->get()) : Expected<std::string, Errno>(unexpected(file.error()));
      if (bytes) {
        fact.running = heldByAnother(file->get());
        fact.bytes = std::move(*bytes);
      } else {
        fact.readError = bytes.error();
      }
    }
    facts.journals.push_back(std::move(fact));
  }
}

// Whether a half serves: every half holds the serving lock, shared, for
// its whole life. Its folder is root's alone.
void lookAtServingLock(StatusFacts& facts, const HostsPlaces& places, bool root) {
  if (!root) {
    facts.server = Running::kHidden;
    return;
  }
  const std::string path = places.lockFolder + "/" + kServingLockName;
  UniqueFd lock(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!lock) {
    // The first half that serves makes the file: none has served since boot.
    facts.server = errno == ENOENT ? Running::kNo : Running::kUnknown;
    facts.serverError = static_cast<unsigned long>(errno);
    return;
  }
  facts.server = heldByAnother(lock.get()) ? Running::kYes : Running::kNo;
}

}  // namespace

int reportLinuxStatus(bool json, const HostsPlaces& places, const std::string& halfLog) {
  const bool root = ::geteuid() == 0;
  StatusFacts facts;
  facts.system = StatusSystem::kLinux;
  facts.hostsFile = FileFact{places.hostsFile, sizeOf(places.hostsFile)};
  facts.hostsFileMounted = hostsFileMounted(places);
  // The journals, then the serving lock: a journal held is a running
  // session's, whatever the lock says.
  lookAtJournals(facts, places, root);
  lookAtServingLock(facts, places, root);
  facts.log = FileFact{halfLog, sizeOf(halfLog)};
  if (json) {
    const std::string line = statusJson(facts);
    std::fwrite(line.data(), 1, line.size(), stdout);
  } else {
    for (const std::string& line : statusLines(facts))
      std::printf("%s\n", line.c_str());
  }
  std::fflush(stdout);
  return 0;
}

}  // namespace varnick::control
