#include "hosts/hosts_store_win32.h"

#include <windows.h>

#include <ntsecapi.h>

#include <cstdio>
#include <utility>

#include "base/file_identity_win32.h"
#include "base/file_io_win32.h"
#include "base/hex_text.h"
#include "base/object_rules_win32.h"
#include "base/security_descriptor_win32.h"
#include "base/unique_resource_win32.h"
#include "base/wide_text.h"
#include "hosts/hosts_file_state_win32.h"
#include "hosts/hosts_location.h"
#include "hosts/hosts_lock_win32.h"
#include "hosts/new_hosts_file_win32.h"
#include "hosts/system_clock_win32.h"

namespace varnick {
namespace {

StoreFault faultOf(DWORD error) {
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return StoreFault::kMissing;
  return StoreFault::kFailed;
}

Unexpected<StoreError> failure(DWORD error) { return storeFailure(faultOf(error), error); }

Unexpected<StoreError> lastFailure() {
  const DWORD error = GetLastError();
  return failure(error);
}

// What a write by another program changes: the size and the time of the
// last write.
std::string stampText(const FileState& state) {
  char text[64];
  std::snprintf(text, sizeof text, "%08lx%08lx-%08lx%08lx", state.sizeHigh, state.sizeLow,
                state.written.dwHighDateTime, state.written.dwLowDateTime);
  return text;
}

// The full long path of `name` in the hosts file's folder.
std::wstring pathOf(std::string_view name) {
  const std::wstring wide(name.begin(), name.end());
  return fullLongPath((std::wstring(hostsDirectory()) + L"\\" + wide).c_str());
}

// An open file of the store, reached through its handle alone.
class Win32File : public StoreFile {
 public:
  explicit Win32File(std::string name) : name_(std::move(name)) {}
  Win32File(HANDLE handle, std::string name) : file_(handle), name_(std::move(name)) {}

  const std::string& name() const override { return name_; }

  StoreResult<std::string> readAll() override {
    Expected<std::string, std::uint32_t> content = varnick::readAll(handle());
    if (!content) return failure(content.error());
    return std::move(*content);
  }

  StoreResult<std::optional<char>> lastByte() override {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(handle(), &size)) return lastFailure();
    if (size.QuadPart == 0) return std::optional<char>();
    LARGE_INTEGER at{};
    at.QuadPart = size.QuadPart - 1;
    char byte = 0;
    DWORD got = 0;
    if (!SetFilePointerEx(handle(), at, nullptr, FILE_BEGIN) ||
        !ReadFile(handle(), &byte, 1, &got, nullptr))
      return lastFailure();
    if (got != 1) return std::optional<char>();
    return std::optional<char>(byte);
  }

  StoreResult<void> append(std::string_view bytes) override {
    LARGE_INTEGER none{};
    if (!SetFilePointerEx(handle(), none, nullptr, FILE_END)) return lastFailure();
    return write(bytes);
  }

  StoreResult<void> overwrite(std::string_view bytes) override {
    LARGE_INTEGER start{};
    if (!SetFilePointerEx(handle(), start, nullptr, FILE_BEGIN)) return lastFailure();
    if (StoreResult<void> written = write(bytes); !written) return written;
    return truncate(bytes.size());
  }

  StoreResult<void> truncate(std::uint64_t size) override {
    LARGE_INTEGER at{};
    at.QuadPart = static_cast<LONGLONG>(size);
    if (!SetFilePointerEx(handle(), at, nullptr, FILE_BEGIN) || !SetEndOfFile(handle()))
      return lastFailure();
    return {};
  }

  StoreResult<void> flush() override {
    if (!FlushFileBuffers(handle())) return lastFailure();
    return {};
  }

  StoreResult<std::string> identity() override {
    std::optional<std::string> identity = identityOf(handle());
    if (!identity) return lastFailure();
    return *identity;
  }

  StoreResult<std::string> stamp() override {
    std::optional<FileState> state = stateOf(handle());
    if (!state) return lastFailure();
    return stampText(*state);
  }

  StoreResult<void> remove() override {
    SystemResult removed = deleteByHandle(handle());
    if (!removed) return failure(removed.error());
    return {};
  }

 protected:
  virtual HANDLE handle() { return file_.get(); }

 private:
  StoreResult<void> write(std::string_view bytes) {
    SystemResult written = writeAll(handle(), bytes.data(), static_cast<DWORD>(bytes.size()));
    if (!written) return failure(written.error());
    return {};
  }

  UniqueFile file_;
  std::string name_;
};

// The new hosts file, "hosts.varnick-new": NewHostsFile's, which takes the
// hosts file's access rules and attributes at its swap and is removed when
// it goes unless it was swapped in.
class ReplacementFile final : public Win32File {
 public:
  ReplacementFile() : Win32File("hosts.varnick-new") {}
  NewHostsFile& next() { return next_; }
  StoreResult<void> remove() override {
    next_.discard();
    return {};
  }

 protected:
  HANDLE handle() override { return next_.handle(); }

 private:
  NewHostsFile next_;
};

StoreResult<OpenFile> opened(HANDLE handle, std::string name) {
  if (handle == INVALID_HANDLE_VALUE) return lastFailure();
  return OpenFile(std::make_unique<Win32File>(handle, std::move(name)));
}

// The write lock, held for as long as the hold lives.
class LockHold final : public StoreHold {
 public:
  LockHold() : lock(HostsLock::Kind::kWrite) {}
  HostsLock lock;
};

// Refuses a name that is not a bare file name, before any system call.
bool refused(const std::string& name) { return !isBareFileName(name); }

// The store of the system's hosts file; see hosts_store_win32.h.
class Win32HostsStore final : public HostsStore {
 public:
  std::string hostsName() const override { return "hosts"; }
  std::string_view lineEnd() const override { return "\r\n"; }
  RetryClock& clock() override { return clock_; }

  std::uint32_t invalidContentCode() const override { return ERROR_INVALID_DATA; }

  std::string shownPath(std::string_view name) const override {
    return wideToUtf8(pathOf(name).c_str());
  }

  StoreResult<std::string> randomBytes(std::size_t count) override {
    std::string bytes(count, '\0');
    if (!RtlGenRandom(bytes.data(), static_cast<ULONG>(count))) return lastFailure();
    return bytes;
  }

  StoreResult<std::unique_ptr<StoreHold>> lockWrites(std::uint32_t waitMs) override {
    auto hold = std::make_unique<LockHold>();
    if (SystemResult taken = hold->lock.take(waitMs); !taken) return failure(taken.error());
    return std::unique_ptr<StoreHold>(std::move(hold));
  }

  StoreResult<OpenFile> openHostsToAppend() override {
    // Append and read: every write lands at the end, and the last byte says
    // whether the file ends in a line end. Readers may share it, writers not.
    return opened(CreateFileW(hostsFilePath(), FILE_APPEND_DATA | FILE_READ_DATA, FILE_SHARE_READ,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr),
                  hostsName());
  }

  StoreResult<OpenFile> openHostsToRead() override {
    // Share mode read: appenders are kept out while the new content is made;
    // readers are welcome.
    HANDLE file = CreateFileW(hostsFilePath(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      const DWORD error = GetLastError();
      if (isSharingConflict(error)) return storeFailure(StoreFault::kBusy, error);
      return failure(error);
    }
    return opened(file, hostsName());
  }

  StoreResult<std::string> hostsStamp() override {
    std::optional<FileState> state = stateOfHostsFile();
    if (!state) return lastFailure();
    return stampText(*state);
  }

  StoreResult<std::string> hostsIdentity() override {
    std::optional<std::string> identity = identityOfHostsFile();
    if (!identity) return lastFailure();
    return *identity;
  }

  StoreResult<OpenFile> createReplacement(StoreFile& /*hosts*/) override {
    // The hosts file's rules and attributes are read at the swap, by name:
    // the handle that read it is let go before.
    auto next = std::make_unique<ReplacementFile>();
    if (SystemResult created = next->next().create(); !created) return failure(created.error());
    return OpenFile(std::move(next));
  }

  StoreResult<void> swapIn(StoreFile& next) override {
    StepResult swapped = static_cast<ReplacementFile&>(next).next().swapIn();
    if (swapped) return {};
    const StoreFault fault =
        swapped.error().step == Attempt::kBusy ? StoreFault::kBusy : StoreFault::kFailed;
    return storeFailure(fault, swapped.error().code);
  }

  StoreResult<OpenFile> openHostsToRewrite(const std::string& stamp) override {
    StoreResult<OpenFile> hosts =
        opened(CreateFileW(hostsFilePath(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr),
               hostsName());
    if (!hosts) return hosts;
    StoreResult<std::string> now = (*hosts)->stamp();
    if (!now) return unexpected(now.error());
    if (*now != stamp) return storeFailure(StoreFault::kStale, ERROR_SUCCESS);
    return hosts;
  }

  StoreResult<std::vector<std::string>> listNames() override {
    Expected<std::vector<FoundFile>, std::uint32_t> found = listFiles(hostsDirectory(), L"*");
    if (!found) return failure(found.error());
    std::vector<std::string> names;
    for (const FoundFile& file : *found) {
      const std::size_t slash = file.path.find_last_of(L"\\/");
      names.push_back(
          wideToUtf8(file.path.substr(slash == std::wstring::npos ? 0 : slash + 1).c_str()));
    }
    return names;
  }

  StoreResult<OpenFile> createJournal(const std::string& name) override {
    if (refused(name)) return failure(ERROR_INVALID_NAME);
    // Rules of its own rather than the folder's: what a recovery will take
    // out must not depend on how an administrator set up that folder.
    SecurityDescriptor rules;
    if (SystemResult converted = rules.convert(kJournalRules); !converted)
      return failure(converted.error());
    // Written through this handle alone, shared for reading only: another
    // Varnick that meets it while its session runs leaves it alone.
    return opened(
        CreateFileW(pathOf(name).c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ,
                    rules.attributes(), CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr),
        name);
  }

  StoreResult<OpenFile> openJournal(const std::string& name) override {
    if (refused(name)) return failure(ERROR_INVALID_NAME);
    const std::wstring path = pathOf(name);
    // Write access and no sharing but reading: a running Varnick writes its
    // journal, so this open fails while it runs, and while this one is open
    // no other Varnick recovers the same session.
    UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                                FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file) {
      const DWORD error = GetLastError();
      if (error == ERROR_SHARING_VIOLATION) return storeFailure(StoreFault::kHeld, error);
      return failure(error);
    }
    if (SystemResult meant = checkIsFileMeant(file.get(), path); !meant)
      return storeFailure(StoreFault::kFailed, meant.error());
    return opened(file.release(), name);
  }

  StoreResult<OpenFile> createCopy() override {
    StoreResult<std::string> bytes = randomBytes(8);
    if (!bytes) return unexpected(bytes.error());
    const std::string name = "hosts.varnick-copy-" + toHex(*bytes);
    return opened(CreateFileW(pathOf(name).c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0,
                              nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr),
                  name);
  }

  StoreResult<OpenFile> openToRead(const std::string& name) override {
    if (refused(name)) return failure(ERROR_INVALID_NAME);
    Expected<UniqueFile, std::uint32_t> file = openPlainFileForReading(pathOf(name).c_str());
    if (!file) return failure(file.error());
    return OpenFile(std::make_unique<Win32File>(file->release(), name));
  }

  StoreResult<void> removeFile(const std::string& name) override {
    if (refused(name)) return failure(ERROR_INVALID_NAME);
    const std::wstring path = pathOf(name);
    if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) return lastFailure();
    SystemResult removed = removePlainFile(path);
    if (!removed) return failure(removed.error());
    return {};
  }

  // NTFS logs every change to a folder's names before it is made, and Windows
  // offers no flush of a folder's names alone.
  StoreResult<void> flushFolder() override { return {}; }

 private:
  SystemClock clock_;
};

}  // namespace

std::unique_ptr<HostsStore> makeWin32HostsStore() { return std::make_unique<Win32HostsStore>(); }

}  // namespace varnick
