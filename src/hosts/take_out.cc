#include "hosts/take_out.h"

#include <optional>
#include <utility>

#include "hosts/in_place_rewrite.h"
#include "hosts/replacement.h"

namespace varnick {
namespace {

Unexpected<TakeOutFailure> takeOutFailed(TakeOutStep step, const StoreError& error,
                                         std::string file = {}) {
  return {TakeOutFailure{step, error.code, error.fault, std::move(file)}};
}

// Runs `step` again for a bounded time while another process holds the
// hosts file for a moment; its last result.
template <typename T, typename Step>
StoreResult<T> whileBusy(HostsStore& store, Step step) {
  RetryClock& clock = store.clock();
  const std::uint64_t deadline = clock.nowMs() + kBusyRetryMs;
  for (;;) {
    StoreResult<T> result = step();
    if (result || result.error().fault != StoreFault::kBusy || clock.nowMs() >= deadline)
      return result;
    clock.sleepMs(kBusyPauseMs);
  }
}

// The hosts file as one round read it, still open: other writers stay out
// until it goes, where the platform can keep them out.
struct HostsRead {
  OpenFile file;
  std::string content;
  std::string stamp;
};

// Reads the hosts file; nothing when it is missing.
StoreResult<std::optional<HostsRead>> readHostsFile(HostsStore& store) {
  StoreResult<OpenFile> file =
      whileBusy<OpenFile>(store, [&store] { return store.openHostsToRead(); });
  if (!file && file.error().fault == StoreFault::kMissing) return std::optional<HostsRead>();
  if (!file) return unexpected(file.error());
  StoreResult<std::string> stamp = (*file)->stamp();
  if (!stamp) return unexpected(stamp.error());
  StoreResult<std::string> content = (*file)->readAll();
  if (!content) return unexpected(content.error());
  return std::optional<HostsRead>(HostsRead{std::move(*file), std::move(*content), *stamp});
}

// Writes `pieces` of `content` to `file`, then makes the file and its name
// last a power cut.
StoreResult<void> writeFlushed(HostsStore& store, StoreFile& file, std::string_view content,
                               const std::vector<KeptBytes>& pieces) {
  for (const KeptBytes& piece : pieces) {
    StoreResult<void> written = file.append(content.substr(piece.from, piece.to - piece.from));
    if (!written) return written;
  }
  if (StoreResult<void> flushed = file.flush(); !flushed) return flushed;
  return store.flushFolder();
}

// One take-out under the write lock: its rounds, then its end recorded,
// then the copies that rewrites in place kept removed.
class TakeOut {
 public:
  TakeOut(HostsStore& store, JournalFile& journal, const std::vector<JournalLine>& lines)
      : store_(store), journal_(journal), lines_(lines) {}

  TakeOutResult run() {
    // No line went in: the hosts file is not even read.
    if (lines_.empty()) return finish();
    const Round last = rebuildInRounds([this] { return once(); });
    if (last == Round::kStale) {
      result_.done =
          takeOutFailed(TakeOutStep::kKeptChanging, {StoreFault::kFailed, kRebuildRounds});
    }
    if (last != Round::kDone) return std::move(result_);
    return finish();
  }

  // A copy that the journal named before, which goes once the end is
  // recorded.
  void removeAtEnd(std::string copy) { copies_.push_back(std::move(copy)); }
  void rewrittenInPlace() { result_.change = HostsChange::kRewrittenInPlace; }
  void setRemoval(LineRemoval removal) { result_.removal = std::move(removal); }

  // Records the end, then removes the copies: the journal no longer leads
  // to them.
  TakeOutResult finish() {
    if (StoreResult<void> recorded = journal_.takenOut(); !recorded) {
      result_.done = takeOutFailed(TakeOutStep::kJournalFailed, recorded.error());
      return std::move(result_);
    }
    for (const std::string& copy : copies_) {
      StoreResult<void> removed = store_.removeFile(copy);
      if (!removed && removed.error().fault != StoreFault::kMissing)
        result_.done =
            takeOutFailed(TakeOutStep::kFilesKept, removed.error(), store_.shownPath(copy));
    }
    return std::move(result_);
  }

 private:
  // Reads the hosts file, writes the new one beside it, records it and
  // swaps it in, unless another program wrote the hosts file in the instant
  // before.
  Round once() {
    StoreResult<std::optional<HostsRead>> read = readHostsFile(store_);
    if (!read) return fail(TakeOutStep::kReadFailed, read.error());
    // A hosts file that someone removed took the lines with it.
    if (!read->has_value()) return Round::kDone;
    HostsRead& hosts = **read;
    result_.removal = removeSessionLines(hosts.content, lines_);
    if (result_.removal.removed.empty()) return Round::kDone;
    StoreResult<OpenFile> next = store_.createReplacement(*hosts.file);
    if (!next) return fail(TakeOutStep::kReplaceFailed, next.error());
    StoreResult<std::string> identity = writeNew(**next, hosts.content);
    if (!identity) return discard(**next, fail(TakeOutStep::kReplaceFailed, identity.error()));
    if (StoreResult<void> recorded = journal_.takingOut(*identity); !recorded)
      return discard(**next, fail(TakeOutStep::kJournalFailed, recorded.error()));
    // Let go before the swap, which a reader of the hosts file would stop.
    hosts.file.reset();
    StoreResult<void> swapped =
        whileBusy<void>(store_, [&] { return swapIn(**next, hosts.stamp); });
    if (swapped) {
      result_.change = HostsChange::kReplaced;
      // The rename must last a power cut before the end is recorded, or the
      // old file, lines and all, could come back under a journal that says
      // they are out.
      StoreResult<void> lasting = store_.flushFolder();
      if (!lasting) return fail(TakeOutStep::kReplaceFailed, lasting.error());
      return Round::kDone;
    }
    const StoreFault fault = swapped.error().fault;
    if (fault == StoreFault::kStale) return discard(**next, Round::kStale);
    if (fault == StoreFault::kNoRename) return discard(**next, rewrite(hosts));
    return discard(**next, fail(TakeOutStep::kReplaceFailed, swapped.error()));
  }

  // The new file, written and flushed: its identity for the journal.
  StoreResult<std::string> writeNew(StoreFile& next, std::string_view content) {
    StoreResult<void> written = writeFlushed(store_, next, content, result_.removal.kept);
    if (!written) return unexpected(written.error());
    return next.identity();
  }

  // Swaps `next` in while the hosts file is still the one read (kStale
  // when another program wrote it since).
  StoreResult<void> swapIn(StoreFile& next, const std::string& stamp) {
    StoreResult<std::string> now = store_.hostsStamp();
    if (!now || *now != stamp) return storeFailure(StoreFault::kStale, 0);
    return store_.swapIn(next);
  }

  // The hosts file is a mount point of its own: its content is kept in a
  // copy, which the journal names, before the new content is written over
  // it.
  Round rewrite(const HostsRead& hosts) {
    StoreResult<OpenFile> copy = store_.createCopy();
    if (!copy) return fail(TakeOutStep::kReplaceFailed, copy.error());
    const std::string shown = store_.shownPath((*copy)->name());
    if (StoreResult<void> kept =
            writeFlushed(store_, **copy, hosts.content, {{0, hosts.content.size()}});
        !kept)
      return discard(**copy, fail(TakeOutStep::kReplaceFailed, kept.error(), shown));
    if (StoreResult<void> recorded = journal_.rewriting((*copy)->name()); !recorded)
      return discard(**copy, fail(TakeOutStep::kJournalFailed, recorded.error()));
    StoreResult<OpenFile> target = store_.openHostsToRewrite(hosts.stamp);
    // Nothing was written: the copy goes, and the next round starts over.
    if (!target && target.error().fault == StoreFault::kStale)
      return discard(**copy, Round::kStale);
    // From here on the hosts file may be cut anywhere in the write: the
    // copy stays, and a recovery makes the content again from it.
    copies_.push_back((*copy)->name());
    if (!target) return fail(TakeOutStep::kReplaceFailed, target.error());
    StoreResult<void> written = (*target)->overwrite(keptText(hosts.content, result_.removal));
    if (written) written = (*target)->flush();
    if (!written) return fail(TakeOutStep::kReplaceFailed, written.error());
    result_.change = HostsChange::kRewrittenInPlace;
    return Round::kDone;
  }

  // Removes a file this round made and that nothing leads to; the hosts
  // file is as it was either way, and the round's outcome stands.
  static Round discard(StoreFile& file, Round round) {
    file.remove().ignore();
    return round;
  }

  Round fail(TakeOutStep step, const StoreError& error, std::string file = {}) {
    result_.done = takeOutFailed(step, error, std::move(file));
    return Round::kFailed;
  }

  HostsStore& store_;
  JournalFile& journal_;
  const std::vector<JournalLine>& lines_;
  TakeOutResult result_;
  std::vector<std::string> copies_;
};

TakeOutResult failedResult(TakeOutStep step, const StoreError& error, std::string file = {}) {
  TakeOutResult result;
  result.done = takeOutFailed(step, error, std::move(file));
  return result;
}

// Finishes the rewrite in place that the journal names and that was cut
// off: from the copy of the hosts file before it, either it is done, or the
// hosts file holds a cut write of it (written again), or another program
// wrote it since (its lines taken out of what it holds now).
TakeOutResult finishRewrite(HostsStore& store, JournalFile& journal,
                            const std::vector<JournalLine>& lines, const std::string& copyName) {
  TakeOut takeOut(store, journal, lines);
  takeOut.removeAtEnd(copyName);
  const std::string shown = store.shownPath(copyName);
  StoreResult<OpenFile> copy = store.openToRead(copyName);
  // Removed by hand: the hosts file was never written without it.
  if (!copy && copy.error().fault == StoreFault::kMissing) return takeOut.run();
  if (!copy) return failedResult(TakeOutStep::kReadFailed, copy.error(), shown);
  StoreResult<std::string> before = (*copy)->readAll();
  if (!before) return failedResult(TakeOutStep::kReadFailed, before.error(), shown);
  StoreResult<std::optional<HostsRead>> now = readHostsFile(store);
  if (!now) return failedResult(TakeOutStep::kReadFailed, now.error());
  LineRemoval removal = removeSessionLines(*before, lines);
  const std::string after = keptText(*before, removal);
  const InPlaceState state =
      now->has_value() ? inPlaceState(*before, after, (*now)->content) : InPlaceState::kChanged;
  if (state == InPlaceState::kChanged) return takeOut.run();
  takeOut.setRemoval(std::move(removal));
  takeOut.rewrittenInPlace();
  if (state == InPlaceState::kCut) {
    StoreResult<OpenFile> target = store.openHostsToRewrite((*now)->stamp);
    if (!target) return failedResult(TakeOutStep::kReplaceFailed, target.error());
    StoreResult<void> written = (*target)->overwrite(after);
    if (written) written = (*target)->flush();
    if (!written) return failedResult(TakeOutStep::kReplaceFailed, written.error());
  }
  return takeOut.finish();
}

// Whether the journal's lines are out of the hosts file already: none went
// in (cut in its header), its end is recorded, or the new file of its last
// take-out is the hosts file now (swapped in before the cut).
bool linesAreOut(HostsStore& store, const JournalRead& read) {
  if (read.state == JournalState::kCutInHeader || read.journal.takenOut) return true;
  if (!read.journal.takingOut) return false;
  StoreResult<std::string> identity = store.hostsIdentity();
  return identity && *identity == *read.journal.takingOut;
}

}  // namespace

const char* takeOutStepText(TakeOutStep step) {
  switch (step) {
    case TakeOutStep::kJournalUnreadable:
      return "its journal could not be read";
    case TakeOutStep::kLockFailed:
      return "the write lock of the hosts file could not be taken";
    case TakeOutStep::kReadFailed:
      return "the hosts file could not be read";
    case TakeOutStep::kReplaceFailed:
      return "the hosts file could not be replaced";
    case TakeOutStep::kJournalFailed:
      return "its journal could not be written";
    case TakeOutStep::kKeptChanging:
      return "another program kept writing to the hosts file, rounds";
    case TakeOutStep::kFilesKept:
    case TakeOutStep::kInUse:
      break;
  }
  return "a file of it could not be removed";
}

std::string failureReason(const TakeOutFailure& failure) {
  std::string reason = takeOutStepText(failure.step);
  if (!failure.file.empty()) reason.append(" (").append(failure.file).append(")");
  return reason;
}

TakeOutResult takeOutLines(HostsStore& store, JournalFile& journal,
                           const std::vector<JournalLine>& lines) {
  StoreResult<std::unique_ptr<StoreHold>> lock = store.lockWrites(kWriteLockWaitMs);
  if (!lock) return failedResult(TakeOutStep::kLockFailed, lock.error());
  return TakeOut(store, journal, lines).run();
}

TakeOutResult takeOutLinesWithin(HostsStore& store, JournalFile& journal,
                                 const std::vector<JournalLine>& lines, std::uint32_t boundMs,
                                 const std::function<void(std::uint32_t)>& waiting) {
  RetryClock& clock = store.clock();
  const std::uint64_t deadline = clock.nowMs() + boundMs;
  for (bool told = false;; told = true) {
    TakeOutResult result = takeOutLines(store, journal, lines);
    // A reader keeps the hosts file from being opened for the rebuild or
    // from being replaced; both leave it as it was.
    if (result.done) return result;
    const TakeOutFailure& failure = result.done.error();
    const bool held =
        failure.fault == StoreFault::kBusy &&
        (failure.step == TakeOutStep::kReadFailed || failure.step == TakeOutStep::kReplaceFailed);
    if (!held || clock.nowMs() >= deadline) return result;
    if (!told && waiting) waiting(failure.code);
    clock.sleepMs(kBusyPauseMs);
  }
}

RecoveryResult recoverSession(HostsStore& store, const std::string& journalName) {
  RecoveryResult result;
  // The lock first: a journal is made under it, so none is met here
  // before its session holds it.
  StoreResult<std::unique_ptr<StoreHold>> lock = store.lockWrites(kWriteLockWaitMs);
  if (!lock) {
    result.done = takeOutFailed(TakeOutStep::kLockFailed, lock.error());
    return result;
  }
  JournalFile journal;
  StoreResult<std::string> content = journal.openExisting(store, journalName);
  if (!content) {
    const StoreFault fault = content.error().fault;
    const bool running = fault == StoreFault::kHeld || fault == StoreFault::kMissing;
    result.done = takeOutFailed(running ? TakeOutStep::kInUse : TakeOutStep::kJournalUnreadable,
                                content.error());
    return result;
  }
  const JournalRead read = readJournal(*content);
  if (read.state == JournalState::kNotAJournal) {
    result.done = takeOutFailed(TakeOutStep::kJournalUnreadable,
                                {StoreFault::kFailed, store.invalidContentCode()});
    return result;
  }
  result.started = read.journal.started;
  if (!linesAreOut(store, read)) {
    if (StoreResult<void> cut = journal.cutTo(read.wholeSize); !cut) {
      result.done = takeOutFailed(TakeOutStep::kJournalFailed, cut.error());
      return result;
    }
    static_cast<TakeOutResult&>(result) =
        read.journal.rewriting
            ? finishRewrite(store, journal, read.journal.lines, *read.journal.rewriting)
            : TakeOut(store, journal, read.journal.lines).run();
    if (!result.done) return result;
  }
  // An older Varnick's backup first: a journal kept keeps naming it.
  const std::string backup = backupNameOf(journalName);
  StoreResult<void> removed = store.removeFile(backup);
  if (!removed && removed.error().fault != StoreFault::kMissing) {
    result.done = takeOutFailed(TakeOutStep::kFilesKept, removed.error(), store.shownPath(backup));
    return result;
  }
  if (StoreResult<void> gone = journal.removeAndClose(); !gone)
    result.done =
        takeOutFailed(TakeOutStep::kFilesKept, gone.error(), store.shownPath(journalName));
  return result;
}

}  // namespace varnick
