#include "hosts/journal_file.h"

#include <algorithm>
#include <utility>

#include "base/hex_text.h"

namespace varnick {
namespace {

constexpr std::size_t kNameBytes = 16;  // 128 random bits: 32 hexadecimal digits

bool endsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

StoreResult<void> notOpen() { return storeFailure(StoreFault::kFailed, 0); }

}  // namespace

bool isBareFileName(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte > ' ' && byte <= '~' && c != '/' && c != '\\' && c != ':';
  });
}

bool isSessionJournalName(std::string_view name, std::string_view hostsName) {
  const std::size_t prefix = hostsName.size() + kSessionStem.size();
  if (name.size() != prefix + 2 * kNameBytes + kSessionJournalSuffix.size()) return false;
  if (name.substr(0, hostsName.size()) != hostsName) return false;
  if (name.substr(hostsName.size(), kSessionStem.size()) != kSessionStem) return false;
  if (!endsWith(name, kSessionJournalSuffix)) return false;
  return fromHex(name.substr(prefix, 2 * kNameBytes)).has_value();
}

std::string backupNameOf(std::string_view journalName) {
  std::string_view stem = journalName.substr(0, journalName.size() - kSessionJournalSuffix.size());
  return std::string(stem).append(kSessionBackupSuffix);
}

StoreResult<std::string> nameSessionJournal(HostsStore& store) {
  StoreResult<std::string> bytes = store.randomBytes(kNameBytes);
  if (!bytes) return unexpected(bytes.error());
  return store.hostsName().append(kSessionStem).append(toHex(*bytes)).append(kSessionJournalSuffix);
}

StoreResult<std::vector<std::string>> findSessionJournals(HostsStore& store) {
  StoreResult<std::vector<std::string>> names = store.listNames();
  if (!names) return names;
  const std::string hostsName = store.hostsName();
  std::vector<std::string> found;
  for (std::string& name : *names) {
    if (isSessionJournalName(name, hostsName)) found.push_back(std::move(name));
  }
  return found;
}

StoreResult<void> JournalFile::create(HostsStore& store, const std::string& name,
                                      std::string_view started) {
  StoreResult<OpenFile> file = store.createJournal(name);
  if (!file) return unexpected(file.error());
  file_ = std::move(*file);
  name_ = name;
  if (StoreResult<void> written = writeFlushed(journalHeader(started)); !written) return written;
  // The name itself must last a power cut, or the lines that follow would
  // be in the hosts file with no journal to name them.
  return store.flushFolder();
}

StoreResult<std::string> JournalFile::openExisting(HostsStore& store, const std::string& name) {
  StoreResult<OpenFile> file = store.openJournal(name);
  if (!file) return unexpected(file.error());
  StoreResult<std::string> content = (*file)->readAll();
  if (!content) return content;
  file_ = std::move(*file);
  name_ = name;
  return content;
}

StoreResult<void> JournalFile::cutTo(std::uint64_t size) {
  if (!file_) return notOpen();
  return file_->truncate(size);
}

StoreResult<void> JournalFile::appended(std::string_view entry, LineStart start) {
  StoreResult<void> written = writeFlushed(appendedRecord(entry, start));
  // Written but not flushed still counts: the line may go in.
  lines_.push_back({std::string(entry), start});
  return written;
}

StoreResult<void> JournalFile::appendFailed() {
  if (!lines_.empty()) lines_.pop_back();
  return writeFlushed(failedRecord());
}

StoreResult<void> JournalFile::takingOut(std::string_view newFileIdentity) {
  return writeFlushed(takingOutRecord(newFileIdentity));
}

StoreResult<void> JournalFile::rewriting(std::string_view copyName) {
  return writeFlushed(rewritingRecord(copyName));
}

StoreResult<void> JournalFile::takenOut() { return writeFlushed(takenOutRecord()); }

StoreResult<void> JournalFile::removeAndClose() {
  StoreResult<void> removed = file_ ? file_->remove() : notOpen();
  file_.reset();
  return removed;
}

StoreResult<void> JournalFile::writeFlushed(const std::string& bytes) {
  if (!file_) return notOpen();
  if (StoreResult<void> written = file_->append(bytes); !written) return written;
  return file_->flush();
}

}  // namespace varnick
