// The few file operations that the session engine (the journal, the
// journaled append, the take-out, the rewrite in place and the recovery)
// needs from a platform: one seam, so that the engine is written once and a
// store in memory can cut it at every operation. Each platform implements
// the seam and nothing else: Windows in hosts_store_win32, POSIX in
// hosts_store_posix, the unit tests in memory_store.
//
// Every file is named by its bare name in the hosts file's folder: a store
// never takes a path from the engine, and never opens a name through a link.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/expected.h"
#include "hosts/replacement.h"

namespace varnick {

// What kind of failure a store met, as the engine decides by it; the
// platform's error code goes with it for the records.
enum class StoreFault {
  kFailed,    // for any other reason
  kMissing,   // nothing stands at the name
  kHeld,      // another process holds the file: a running session's journal
  kBusy,      // another process holds the hosts file for a moment: worth trying again
  kStale,     // the hosts file is no longer the one that was read
  kNoRename,  // no rename can replace the hosts file: it is a mount point of its own
};

struct StoreError {
  StoreFault fault = StoreFault::kFailed;
  std::uint32_t code = 0;
};

template <typename T>
using StoreResult = Expected<T, StoreError>;

inline Unexpected<StoreError> storeFailure(StoreFault fault, std::uint32_t code) {
  return {StoreError{fault, code}};
}

// Whether `name` names a file in the hosts file's folder itself: printable
// ASCII with no separator of any platform, neither "." nor "..". A store
// refuses any other name it is given, a name read back from a journal
// above all.
[[nodiscard]] bool isBareFileName(std::string_view name);

// An open file of the store, closed when it goes.
class StoreFile {
 public:
  virtual ~StoreFile() = default;
  // Its bare name in the hosts file's folder.
  virtual const std::string& name() const = 0;
  // The whole content, from its start.
  virtual StoreResult<std::string> readAll() = 0;
  // Its last byte; nothing when it is empty.
  virtual StoreResult<std::optional<char>> lastByte() = 0;
  // Writes all of `bytes` at its end.
  virtual StoreResult<void> append(std::string_view bytes) = 0;
  // Writes `bytes` over it from its start and cuts it to their length.
  virtual StoreResult<void> overwrite(std::string_view bytes) = 0;
  // Cuts it after its first `size` bytes.
  virtual StoreResult<void> truncate(std::uint64_t size) = 0;
  // Makes what was written to it last a power cut.
  virtual StoreResult<void> flush() = 0;
  // Which file it is, in non-blank printable ASCII, as a journal names the
  // new hosts file; a rename keeps it.
  virtual StoreResult<std::string> identity() = 0;
  // What a write by another program changes: which file, its size and the
  // time of its last write; compared with hostsStamp().
  virtual StoreResult<std::string> stamp() = 0;
  // Removes its name from the folder, through the open file where the
  // platform can, so that nobody meets the name in between.
  virtual StoreResult<void> remove() = 0;
};

using OpenFile = std::unique_ptr<StoreFile>;

// A lock held for as long as it lives.
class StoreHold {
 public:
  virtual ~StoreHold() = default;
};

class HostsStore {
 public:
  virtual ~HostsStore() = default;

  // The hosts file's bare name, which the names of the session files start with.
  virtual std::string hostsName() const = 0;
  // The line end of the system's text files: CR LF on Windows, LF elsewhere.
  virtual std::string_view lineEnd() const = 0;
  // The platform's error code for a file whose content is not what its name
  // says (a journal that is none): ERROR_INVALID_DATA, EBADMSG.
  virtual std::uint32_t invalidContentCode() const = 0;
  // A name beside the hosts file as a record shows it: its whole path.
  virtual std::string shownPath(std::string_view name) const = 0;
  // `count` random bytes, for a journal's name.
  virtual StoreResult<std::string> randomBytes(std::size_t count) = 0;
  // The time and the pauses of the retries while the hosts file is busy.
  virtual RetryClock& clock() = 0;

  // The write lock of the hosts file, taken within `waitMs` while another
  // Varnick holds it, and held until the hold goes.
  virtual StoreResult<std::unique_ptr<StoreHold>> lockWrites(std::uint32_t waitMs) = 0;

  // The hosts file open to append to and to read its end; other writers kept
  // out while it is open. A missing hosts file is not made.
  virtual StoreResult<OpenFile> openHostsToAppend() = 0;
  // The hosts file open to read for a rebuild, other writers kept out
  // while it is open where the platform can: kMissing, or kBusy while
  // another process holds it.
  virtual StoreResult<OpenFile> openHostsToRead() = 0;
  // The stamp and identity of what stands at the hosts file's name now.
  virtual StoreResult<std::string> hostsStamp() = 0;
  virtual StoreResult<std::string> hostsIdentity() = 0;
  // A new empty file beside the hosts file, to be swapped in for it, which
  // takes `hosts`'s owner, access rules, mode and attributes by its swap.
  virtual StoreResult<OpenFile> createReplacement(StoreFile& hosts) = 0;
  // Renames `next` over the hosts file in one step, so that the name holds
  // the whole old file or the whole new one (the rename lasts a power cut
  // once flushFolder is done): kBusy while another process holds the hosts
  // file, kNoRename where no rename can replace it.
  virtual StoreResult<void> swapIn(StoreFile& next) = 0;
  // The hosts file open to be written over in place, while it is still the
  // file of `stamp` (kStale when it is not).
  virtual StoreResult<OpenFile> openHostsToRewrite(const std::string& stamp) = 0;

  // The names in the hosts file's folder.
  virtual StoreResult<std::vector<std::string>> listNames() = 0;
  // A session's journal, made new, held for as long as it is open so that
  // nobody else takes it for an interrupted session's, with rules that
  // let only the privileged side change it. No recovery may meet it before
  // it is held: where making and holding are two steps, they are taken
  // under the write lock, under which a recovery looks at journals.
  virtual StoreResult<OpenFile> createJournal(const std::string& name) = 0;
  // An interrupted session's journal, open to be read and written and held:
  // kHeld while its session runs, kMissing when it went meanwhile, kFailed
  // when it is a link, no plain file, or not the privileged side's.
  virtual StoreResult<OpenFile> openJournal(const std::string& name) = 0;
  // A new empty file beside the hosts file, named by the store: the copy of
  // the hosts file that a rewrite in place keeps.
  virtual StoreResult<OpenFile> createCopy() = 0;
  // A plain file beside the hosts file, open to be read.
  virtual StoreResult<OpenFile> openToRead(const std::string& name) = 0;
  // Removes a plain file beside the hosts file; kMissing when none is
  // there, kFailed (and left) when a link stands at the name.
  virtual StoreResult<void> removeFile(const std::string& name) = 0;
  // Makes the names made, renamed and removed in the folder last a power cut.
  virtual StoreResult<void> flushFolder() = 0;
};

}  // namespace varnick
