#include "hosts/session_files_posix.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "base/hex_text.h"
#include "hosts/hosts_lock_posix.h"
#include "hosts/in_place_rewrite.h"
#include "hosts/new_hosts_file_posix.h"
#include "hosts/session_append.h"

namespace varnick {
namespace {

constexpr std::size_t kNameDigits = 32;

Errno lastErrno() { return static_cast<Errno>(errno); }

std::string besideHostsFile(const HostsPlaces& places, const std::string& name) {
  return places.hostsFolder + "/" + name;
}

bool isJournalName(const std::string& name, const std::string& prefix) {
  const std::string suffix = kSessionJournalSuffix;
  if (name.size() != prefix.size() + kNameDigits + suffix.size()) return false;
  if (name.compare(0, prefix.size(), prefix) != 0) return false;
  if (name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) return false;
  return fromHex(std::string_view(name).substr(prefix.size(), kNameDigits)).has_value();
}

// The hosts file, open for appending, whose last byte a read-only
// descriptor of the same file tells.
class HostsAppend final : public AppendTarget {
 public:
  HostsAppend(const std::string& path, int fd) : path_(path), fd_(fd) {}

  std::uint32_t lastByte(std::optional<char>& last) override {
    Expected<UniqueFd, Errno> reader = openPlainFile(path_, O_RDONLY);
    if (!reader) return reader.error();
    struct stat appending {};
    struct stat reading {};
    if (::fstat(fd_, &appending) != 0 || ::fstat(reader->get(), &reading) != 0) return lastErrno();
    // Another program swapped a file in between the two opens.
    if (appending.st_dev != reading.st_dev || appending.st_ino != reading.st_ino) return ESTALE;
    if (reading.st_size == 0) return 0;
    char byte = 0;
    const ssize_t got = ::pread(reader->get(), &byte, 1, reading.st_size - 1);
    // None at all: another program cut the file in between.
    if (got != 1) return got < 0 ? lastErrno() : ESTALE;
    last = byte;
    return 0;
  }

  std::uint32_t append(std::string_view bytes) override {
    Expected<void, Errno> written = writeAll(fd_, bytes);
    return written ? 0 : written.error();
  }

 private:
  const std::string& path_;
  int fd_;
};

// The hosts file as one round read it.
struct HostsRead {
  UniqueFd fd;
  std::string content;
  FileState state;
};

// Reads the hosts file; nothing, with no error, when it is missing.
Expected<std::optional<HostsRead>, Errno> readHostsFile(const std::string& path) {
  Expected<UniqueFd, Errno> hosts = openPlainFile(path, O_RDONLY);
  if (!hosts && hosts.error() == ENOENT) return std::optional<HostsRead>();
  if (!hosts) return unexpected(hosts.error());
  struct stat status {};
  if (::fstat(hosts->get(), &status) != 0) return unexpected(lastErrno());
  Expected<std::string, Errno> content = readAll(hosts->get());
  if (!content) return unexpected(content.error());
  return std::optional<HostsRead>(
      HostsRead{std::move(*hosts), std::move(*content), stateOf(status)});
}

TakeOutResult failed(TakeOutStep step, Errno error, std::string file = {}) {
  TakeOutResult result;
  result.step = step;
  result.error = error;
  result.file = std::move(file);
  return result;
}

// One take-out under the write lock: its rounds, then its end recorded,
// then the copy of an in-place rewrite removed.
class TakeOut {
 public:
  TakeOut(const HostsPlaces& places, JournalFile& journal, const std::vector<JournalLine>& lines)
      : places_(places), journal_(journal), lines_(lines) {}

  TakeOutResult run() {
    // No line went in: the hosts file is not even read.
    if (lines_.empty()) return finish(journal_, result_, copy_);
    Round last = rebuildInRounds([this] { return once(); });
    if (last == Round::kStale) return failed(TakeOutStep::kKeptChanging, kRebuildRounds);
    if (last == Round::kFailed) return result_;
    return finish(journal_, result_, copy_);
  }

  // Records the end, then removes the copy that the rewrite kept: the
  // journal no longer leads to it.
  static TakeOutResult finish(JournalFile& journal, TakeOutResult result, const std::string& copy) {
    if (Errno error = journal.takenOut()) {
      result.step = TakeOutStep::kJournalFailed;
      result.error = error;
      return result;
    }
    return removeCopy(std::move(result), copy);
  }

  static TakeOutResult removeCopy(TakeOutResult result, const std::string& copy) {
    if (!copy.empty() && ::unlink(copy.c_str()) != 0 && errno != ENOENT) {
      result.step = TakeOutStep::kFilesKept;
      result.error = lastErrno();
      result.file = copy;
    }
    return result;
  }

 private:
  // Reads the hosts file, writes the new one beside it, records it and
  // renames it over, unless another program wrote the hosts file in the
  // instant before.
  Round once() {
    Expected<std::optional<HostsRead>, Errno> read = readHostsFile(places_.hostsFile);
    if (!read) return fail(TakeOutStep::kReadFailed, read.error());
    // A hosts file that someone removed took the lines with it.
    if (!read->has_value()) return Round::kDone;
    const HostsRead& hosts = **read;
    result_.removal = removeSessionLines(hosts.content, lines_);
    if (result_.removal.removed.empty()) return Round::kDone;
    BesideFile next;
    Expected<std::string, Errno> identity = writeNewFile(next, hosts);
    if (!identity) return fail(TakeOutStep::kReplaceFailed, identity.error(), next.path());
    if (Errno error = journal_.takingOut(*identity))
      return fail(TakeOutStep::kJournalFailed, error);
    if (!(stateAt(places_.hostsFile) == std::optional<FileState>(hosts.state)))
      return Round::kStale;
    Expected<void, Errno> renamed = next.renameOver(places_.hostsFile);
    if (renamed) {
      result_.change = HostsChange::kReplaced;
      return Round::kDone;
    }
    if (renamed.error() != EBUSY) return fail(TakeOutStep::kReplaceFailed, renamed.error());
    next.discard();
    return rewrite(hosts);
  }

  // The new file, with the hosts file's owner, mode and attributes, written
  // and flushed: its identity for the journal.
  Expected<std::string, Errno> writeNewFile(BesideFile& next, const HostsRead& hosts) {
    Expected<void, Errno> step = next.create(places_.hostsFolder);
    if (step) step = copyOwnerModeAndAttributes(hosts.fd.get(), next.fd());
    const std::string_view content = hosts.content;
    for (const KeptBytes& piece : result_.removal.kept) {
      if (!step) break;
      step = next.write(content.substr(piece.from, piece.to - piece.from));
    }
    if (step) step = next.flush();
    if (!step) return unexpected(step.error());
    return next.identity();
  }

  // The hosts file is a mount point of its own: its content is kept in a
  // copy, which the journal names, before the new content is written over it.
  Round rewrite(const HostsRead& hosts) {
    BesideFile copy;
    Expected<void, Errno> step = copy.create(places_.hostsFolder);
    if (step) step = copy.write(hosts.content);
    if (step) step = copy.flush();
    if (!step) return fail(TakeOutStep::kReplaceFailed, step.error(), copy.path());
    if (Errno error = journal_.rewriting(copy.name()))
      return fail(TakeOutStep::kJournalFailed, error);
    Expected<void, Errno> written =
        rewriteInPlace(places_.hostsFile, keptText(hosts.content, result_.removal), hosts.state);
    // Nothing was written: the copy goes, and the next round starts over.
    if (!written && written.error() == ESTALE) return Round::kStale;
    // Cut anywhere in the write: a recovery makes the content again from the copy.
    copy.keep();
    if (!written) return fail(TakeOutStep::kReplaceFailed, written.error());
    copy_ = copy.path();
    result_.change = HostsChange::kRewrittenInPlace;
    return Round::kDone;
  }

  Round fail(TakeOutStep step, Errno error, std::string file = {}) {
    result_.step = step;
    result_.error = error;
    result_.file = std::move(file);
    return Round::kFailed;
  }

  const HostsPlaces& places_;
  JournalFile& journal_;
  const std::vector<JournalLine>& lines_;
  TakeOutResult result_;
  std::string copy_;
};

// Finishes the in-place rewrite that the journal names and that was cut
// off: from the copy of the hosts file before it, either it is done, or the
// hosts file holds a cut write of it (written again), or another program
// wrote it since (its lines taken out of what it holds now).
TakeOutResult finishRewrite(const HostsPlaces& places, JournalFile& journal,
                            const std::vector<JournalLine>& lines, const std::string& copyName) {
  const std::string copy = besideHostsFile(places, copyName);
  Expected<UniqueFd, Errno> copyFile = openPlainFile(copy, O_RDONLY);
  // Removed by hand: the hosts file was never written without it.
  if (!copyFile && copyFile.error() == ENOENT) return TakeOut(places, journal, lines).run();
  if (!copyFile) return failed(TakeOutStep::kReadFailed, copyFile.error(), copy);
  Expected<std::string, Errno> before = readAll(copyFile->get());
  if (!before) return failed(TakeOutStep::kReadFailed, before.error(), copy);
  Expected<std::optional<HostsRead>, Errno> now = readHostsFile(places.hostsFile);
  if (!now) return failed(TakeOutStep::kReadFailed, now.error());
  TakeOutResult result;
  result.removal = removeSessionLines(*before, lines);
  const std::string after = keptText(*before, result.removal);
  const InPlaceState state =
      now->has_value() ? inPlaceState(*before, after, (*now)->content) : InPlaceState::kChanged;
  if (state == InPlaceState::kChanged) {
    result = TakeOut(places, journal, lines).run();
    return result.done() ? TakeOut::removeCopy(std::move(result), copy) : result;
  }
  result.change = HostsChange::kRewrittenInPlace;
  if (state == InPlaceState::kCut) {
    Expected<void, Errno> written = rewriteInPlace(places.hostsFile, after, (*now)->state);
    if (!written) return failed(TakeOutStep::kReplaceFailed, written.error());
  }
  return TakeOut::finish(journal, result, copy);
}

}  // namespace

std::optional<std::string> nameSessionJournal(const HostsPlaces& places) {
  char bytes[kNameDigits / 2];
  if (::getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes))
    return std::nullopt;
  return besideHostsFile(places, baseName(places.hostsFile) + kSessionStem +
                                     toHex(std::string_view(bytes, sizeof bytes)) +
                                     kSessionJournalSuffix);
}

Expected<std::vector<std::string>, Errno> findSessionJournals(const HostsPlaces& places) {
  Expected<UniqueFd, Errno> folder = openFolder(places.hostsFolder);
  if (!folder) return unexpected(folder.error());
  DIR* listing = ::fdopendir(folder->get());
  if (listing == nullptr) return unexpected(lastErrno());
  folder->release();
  const std::string prefix = baseName(places.hostsFile) + kSessionStem;
  std::vector<std::string> found;
  errno = 0;
  while (const dirent* entry = ::readdir(listing)) {
    if (isJournalName(entry->d_name, prefix))
      found.push_back(besideHostsFile(places, entry->d_name));
  }
  const Errno error = lastErrno();
  ::closedir(listing);
  if (error != 0) return unexpected(error);
  return found;
}

Errno JournalFile::create(const HostsPlaces& places, const std::string& path,
                          std::string_view started) {
  HostsLock lock(places.lockFolder, HostsLock::Kind::kWrite);
  if (Errno error = lock.take(kWriteLockWaitMs)) return error;
  file_.reset(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!file_) return lastErrno();
  path_ = path;
  // Root's whatever group the folder hands down; held before anyone can look.
  if (::fchown(file_.get(), 0, 0) != 0 || ::flock(file_.get(), LOCK_EX | LOCK_NB) != 0)
    return lastErrno();
  if (Errno error = writeFlushed(journalHeader(started))) return error;
  Expected<void, Errno> named = flushFolder(places.hostsFolder);
  return named ? 0 : named.error();
}

Errno JournalFile::openExisting(const std::string& path, std::string& content) {
  Expected<UniqueFd, Errno> file = openPlainFile(path, O_RDWR);
  if (!file) return file.error();
  struct stat status {};
  if (::fstat(file->get(), &status) != 0) return lastErrno();
  if (status.st_uid != 0) return EPERM;
  if (::flock(file->get(), LOCK_EX | LOCK_NB) != 0) return lastErrno();
  // Its session may have removed it between the open and the lock.
  struct stat named {};
  if (::lstat(path.c_str(), &named) != 0 || named.st_ino != status.st_ino ||
      named.st_dev != status.st_dev)
    return ENOENT;
  Expected<std::string, Errno> read = readAll(file->get());
  if (!read) return read.error();
  content = std::move(*read);
  file_ = std::move(*file);
  path_ = path;
  return 0;
}

Errno JournalFile::cutTo(std::uint64_t size) {
  if (::ftruncate(file_.get(), static_cast<off_t>(size)) != 0 ||
      ::lseek(file_.get(), 0, SEEK_END) < 0)
    return lastErrno();
  return 0;
}

Errno JournalFile::appended(std::string_view entry, LineStart start) {
  const Errno error = writeFlushed(appendedRecord(entry, start));
  // Written but not flushed still counts: the line may go in.
  lines_.push_back({std::string(entry), start});
  return error;
}

Errno JournalFile::appendFailed() {
  if (!lines_.empty()) lines_.pop_back();
  return writeFlushed(failedRecord());
}

Errno JournalFile::takingOut(std::string_view newFileIdentity) {
  return writeFlushed(takingOutRecord(newFileIdentity));
}

Errno JournalFile::rewriting(std::string_view copyName) {
  return writeFlushed(rewritingRecord(copyName));
}

Errno JournalFile::takenOut() { return writeFlushed(takenOutRecord()); }

Errno JournalFile::removeAndClose() {
  const Errno error = !file_ ? EBADF : ::unlink(path_.c_str()) == 0 ? 0 : lastErrno();
  file_.reset();
  return error;
}

Errno JournalFile::writeFlushed(const std::string& bytes) {
  if (!file_) return EBADF;
  Expected<void, Errno> written = writeAll(file_.get(), bytes);
  if (written) written = flush(file_.get());
  return written ? 0 : written.error();
}

JournaledAppend appendJournaled(const HostsPlaces& places, JournalFile& journal,
                                std::string_view received) {
  const std::string_view entry = received.substr(0, received.find('\0'));
  if (entry.find_first_of("\r\n") != std::string_view::npos)
    return {failedAt(AppendStep::kWriteFailed, EINVAL)};
  HostsLock lock(places.lockFolder, HostsLock::Kind::kWrite);
  if (Errno error = lock.take(kWriteLockWaitMs)) return {failedAt(AppendStep::kLockFailed, error)};
  Expected<UniqueFd, Errno> hosts = openPlainFile(places.hostsFile, O_WRONLY | O_APPEND);
  if (!hosts) return {failedAt(AppendStep::kOpenFailed, hosts.error())};
  HostsAppend target(places.hostsFile, hosts->get());
  JournaledAppend result{appendJournaledLine(
      target, entry, [&journal, entry](LineStart start) { return journal.appended(entry, start); },
      kLf)};
  if (!result.appended && result.appended.error().step == AppendStep::kWriteFailed) {
    result.unrecorded = journal.appendFailed();
  } else if (result.appended) {
    Expected<void, Errno> flushed = flush(hosts->get());
    if (!flushed) result.unflushed = flushed.error();
  }
  return result;
}

TakeOutResult takeOutLines(const HostsPlaces& places, JournalFile& journal,
                           const std::vector<JournalLine>& lines) {
  HostsLock lock(places.lockFolder, HostsLock::Kind::kWrite);
  if (Errno error = lock.take(kWriteLockWaitMs)) return failed(TakeOutStep::kLockFailed, error);
  return TakeOut(places, journal, lines).run();
}

RecoveryResult recoverSession(const HostsPlaces& places, const std::string& journalPath) {
  RecoveryResult result;
  // The lock first: a journal is made and locked under it, so none is met
  // here before its session holds it.
  HostsLock lock(places.lockFolder, HostsLock::Kind::kWrite);
  if (Errno error = lock.take(kWriteLockWaitMs)) {
    static_cast<TakeOutResult&>(result) = failed(TakeOutStep::kLockFailed, error);
    return result;
  }
  JournalFile journal;
  std::string content;
  if (Errno error = journal.openExisting(journalPath, content)) {
    const bool running = error == EWOULDBLOCK || error == ENOENT;
    static_cast<TakeOutResult&>(result) =
        failed(running ? TakeOutStep::kInUse : TakeOutStep::kJournalUnreadable, error);
    return result;
  }
  JournalRead read = readJournal(content);
  if (read.state == JournalState::kNotAJournal) {
    journal.close();
    static_cast<TakeOutResult&>(result) = failed(TakeOutStep::kJournalUnreadable, EBADMSG);
    return result;
  }
  result.started = read.journal.started;
  struct stat hosts {};
  const bool swapped = read.journal.takingOut && ::lstat(places.hostsFile.c_str(), &hosts) == 0 &&
                       identityText(hosts) == *read.journal.takingOut;
  // Cut in its header, the journal holds no line; a take-out whose new file
  // is the hosts file now was swapped in before the cut.
  const bool out = read.state == JournalState::kCutInHeader || read.journal.takenOut || swapped;
  if (!out) {
    if (Errno error = journal.cutTo(read.wholeSize)) {
      static_cast<TakeOutResult&>(result) = failed(TakeOutStep::kJournalFailed, error);
      return result;
    }
    static_cast<TakeOutResult&>(result) =
        read.journal.rewriting
            ? finishRewrite(places, journal, read.journal.lines, *read.journal.rewriting)
            : TakeOut(places, journal, read.journal.lines).run();
    if (!result.done()) return result;
  }
  if (Errno error = journal.removeAndClose()) {
    result.step = TakeOutStep::kFilesKept;
    result.error = error;
    result.file = journalPath;
  }
  return result;
}

}  // namespace varnick
