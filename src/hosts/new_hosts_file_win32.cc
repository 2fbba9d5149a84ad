#include "hosts/new_hosts_file_win32.h"

#include <vector>

#include "base/file_identity_win32.h"
#include "base/file_io_win32.h"
#include "hosts/hosts_file_state_win32.h"
#include "hosts/hosts_location.h"

namespace varnick {
namespace {

// A name beside the hosts file that nobody takes for the hosts file itself.
constexpr wchar_t kNewSuffix[] = L".varnick-new";

// What the new file's handle must be allowed: write it, rename and remove
// it, and give it the hosts file's access rules and attributes.
constexpr DWORD kNewFileAccess =
    GENERIC_WRITE | DELETE | READ_CONTROL | WRITE_DAC | WRITE_OWNER | FILE_WRITE_ATTRIBUTES;

// The attributes that the new file takes over. Read-only is left out: the
// old file's flag would stop the rename itself.
constexpr DWORD kCarriedAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                     FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

}  // namespace

Expected<UniqueFile, std::uint32_t> openHostsFileForRebuild(RetryClock& clock) {
  UniqueFile file;
  StepResult last = retryWhileBusy(
      [&file] {
        // Share mode read: appenders are kept out while the new content is
        // made; readers are welcome.
        file.reset(CreateFileW(hostsFilePath(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        if (file) return StepResult{};
        DWORD error = GetLastError();
        return StepResult(
            failedAt(isSharingConflict(error) ? Attempt::kBusy : Attempt::kFailed, error));
      },
      clock);
  if (!last) return unexpected(last.error().code);
  return file;
}

Expected<UniqueFile, std::uint32_t> openPlainFileForReading(const wchar_t* path) {
  UniqueFile file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file) {
    const DWORD error = GetLastError();
    return unexpected(error);
  }
  if (SystemResult meant = checkIsFileMeant(file.get(), fullLongPath(path)); !meant)
    return unexpected(meant.error());
  return file;
}

NewHostsFile::NewHostsFile() : path_(besideHostsFile(kNewSuffix)) {}

NewHostsFile::~NewHostsFile() {
  if (!committed_) discard();
}

SystemResult NewHostsFile::create() {
  discard();
  // A plain file left by a killed run goes; a link there is refused.
  if (SystemResult removed = removePlainFile(path_); !removed) return removed;
  // A new file or nothing: whatever stands at the name now, a link included,
  // makes this fail rather than be written through.
  file_.reset(CreateFileW(path_.c_str(), kNewFileAccess, 0, nullptr, CREATE_NEW,
                          FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file_) {
    const DWORD error = GetLastError();
    return unexpected(error);
  }
  return {};
}

std::optional<std::string> NewHostsFile::identity() const {
  if (!file_) return std::nullopt;
  return identityOf(file_.get());
}

SystemResult NewHostsFile::copyFrom(const wchar_t* source) {
  Expected<UniqueFile, std::uint32_t> from = openPlainFileForReading(source);
  if (!from) return unexpected(from.error());
  if (SystemResult created = create(); !created) return created;
  return copyAll(from->get(), file_.get());
}

SystemResult NewHostsFile::write(const void* data, DWORD size) {
  return writeAll(file_.get(), data, size);
}

CommitResult NewHostsFile::commit(RetryClock& clock, std::function<bool()> unchanged) {
  unchanged_ = std::move(unchanged);
  return commitReplacement(*this, clock);
}

// The handle stays open: the rename and the security are done through it.
SystemResult NewHostsFile::flushAndClose() {
  if (!FlushFileBuffers(file_.get())) {
    const DWORD error = GetLastError();
    return unexpected(error);
  }
  return {};
}

// Gives the new file the hosts file's access rules and attributes, as the
// hosts file keeps them across the replacement. The owner and group follow
// where the process may set them; the access rules must follow, or the
// hosts file is not replaced. A missing hosts file has none to give: the new
// file keeps those it inherited from the folder.
SystemResult NewHostsFile::takeOverIdentity() {
  DWORD attributes = GetFileAttributesW(hostsFilePath());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    hostsMissing_ = error == ERROR_FILE_NOT_FOUND;
    if (hostsMissing_) return {};
    return unexpected(error);
  }
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return unexpected(kErrorHostsIsFolder);
  hostsMissing_ = false;
  constexpr SECURITY_INFORMATION kWhat =
      OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
  DWORD size = 0;
  GetFileSecurityW(hostsFilePath(), kWhat, nullptr, 0, &size);
  std::vector<unsigned char> descriptor(size);
  auto* sd = reinterpret_cast<PSECURITY_DESCRIPTOR>(descriptor.data());
  if (size == 0 || !GetFileSecurityW(hostsFilePath(), kWhat, sd, size, &size)) {
    const DWORD error = GetLastError();
    return unexpected(error);
  }
  if (!SetKernelObjectSecurity(file_.get(), DACL_SECURITY_INFORMATION, sd)) {
    // A file system without access rules (FAT) has none to carry over.
    const DWORD error = GetLastError();
    if (error != ERROR_NOT_SUPPORTED && error != ERROR_INVALID_FUNCTION) return unexpected(error);
  }
  // Where the process may not set them, the new file keeps the owner and
  // group it was made with; the access rules, set above, are the old ones.
  (void)SetKernelObjectSecurity(file_.get(),
                                OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION, sd);
  if (attributes & kCarriedAttributes) {
    FILE_BASIC_INFO basic{};  // times left at zero stay as they are
    basic.FileAttributes = attributes & kCarriedAttributes;
    if (!SetFileInformationByHandle(file_.get(), FileBasicInfo, &basic, sizeof basic)) {
      const DWORD error = GetLastError();
      return unexpected(error);
    }
  }
  return {};
}

StepResult NewHostsFile::swapIn() {
  if (!identityTaken_) {
    // The hosts file may be held so that even its rules cannot be read.
    if (SystemResult taken = takeOverIdentity(); !taken) {
      const std::uint32_t error = taken.error();
      return failedAt(isHeldAtSwap(error) ? Attempt::kBusy : Attempt::kFailed, error);
    }
    identityTaken_ = true;
  }
  if (unchanged_ && !unchanged_()) return failedAt(Attempt::kStale, ERROR_SUCCESS);
  // One rename: at every instant the hosts file's name holds the whole old
  // file or the whole new one.
  SystemResult renamed = renameByHandle(file_.get(), hostsFilePath());
  if (renamed) {
    committed_ = true;
    file_.reset();
    return {};
  }
  const std::uint32_t error = renamed.error();
  return failedAt(isHeldAtSwap(error) ? Attempt::kBusy : Attempt::kFailed, error);
}

void NewHostsFile::discard() {
  if (committed_ || !file_) return;
  // The hosts file is as it was either way; a new file that could not go
  // is removed by the next create, which makes its file new.
  deleteByHandle(file_.get()).ignore();
  file_.reset();
}

}  // namespace varnick
