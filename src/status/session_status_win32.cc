// varnick-session --status: what runs, and what sessions and `varnick del`
// left behind, as far as this process may see. It takes no lock for longer
// than a look and changes nothing.
#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/elevation_win32.h"
#include "base/expected.h"
#include "base/file_identity_win32.h"
#include "base/file_io_win32.h"
#include "base/unique_resource_win32.h"
#include "base/wide_text.h"
#include "hosts/hosts_location.h"
#include "hosts/hosts_store_win32.h"
#include "log/log_folder_win32.h"
#include "service/service_client_win32.h"
#include "service/service_control_win32.h"
#include "status/session_status_win32.h"
#include "status/status_json.h"
#include "status/status_lines.h"

namespace varnick::control {
namespace {

constexpr std::wstring_view kJournalSuffix = L".journal";
constexpr std::wstring_view kBackupSuffix = L".backup";
// What `varnick del` names its temporary copies (GetTempFileNameW keeps the
// first three characters of its prefix), as `del "%TEMP%\hos*.tmp"` finds them.
constexpr wchar_t kTemporaryCopies[] = L"hos*.tmp";

std::optional<std::uint64_t> sizeOf(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) ||
      (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return std::nullopt;
  }
  return sizeFromHalves(data.nFileSizeHigh, data.nFileSizeLow);
}

FileFact fileFact(const std::wstring& path) { return {wideToUtf8(path.c_str()), sizeOf(path)}; }

// Whether a Varnick holds the journal open to write it: its session runs
// (or another Varnick is putting it right). It opens its journal sharing
// nothing but reading, so an open that would share nothing but reading
// itself is refused while it does.
bool heldByVarnick(const std::wstring& path) {
  UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  return !file && GetLastError() == ERROR_SHARING_VIOLATION;
}

// Whether a Varnick serves: every server and session mode holds a
// byte-range lock on a file beside the hosts file that only Administrators
// and SYSTEM may open, so only an elevated process can look. The lock is
// taken without waiting and let go at once; a Varnick that comes in that
// instant tries again a moment later.
void lookAtServingLock(StatusFacts& facts, const Expected<void, LocateFailure>& located) {
  if (!runsElevated()) {
    facts.server = Running::kHidden;
    return;
  }
  if (!located) {
    // The code of the call that failed; a path too long, which has none,
    // reads as ERROR_PATH_NOT_FOUND.
    const std::uint32_t code = located.error().code;
    facts.serverError = code != 0 ? code : ERROR_PATH_NOT_FOUND;
    return;
  }
  const std::wstring path = besideHostsFile(L".varnick-serving-lock");
  UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file) {
    const DWORD error = GetLastError();
    // The first Varnick that serves makes the file: none has served yet.
    const bool none = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    facts.server = none ? Running::kNo : Running::kUnknown;
    facts.serverError = error;
    return;
  }
  // An elevated look locks nothing that a link at the name leads to: a link
  // reads as kErrorIsLink, a check that could not be made as its own code.
  if (SystemResult meant = checkIsFileMeant(file.get(), path); !meant) {
    facts.server = Running::kUnknown;
    facts.serverError = meant.error();
    return;
  }
  OVERLAPPED whole{};
  if (LockFileEx(file.get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                 &whole)) {
    UnlockFileEx(file.get(), 0, 1, 0, &whole);
    facts.server = Running::kNo;
    return;
  }
  const DWORD error = GetLastError();
  facts.server = error == ERROR_LOCK_VIOLATION ? Running::kYes : Running::kUnknown;
  facts.serverError = error;
}

bool endsWith(const std::wstring& text, std::wstring_view suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The journals beside the hosts file, each with its session's backup and
// its content (users may read that folder), and any backup left alone.
void lookAtSessionFiles(StatusFacts& facts) {
  std::vector<FoundFile> journals;
  std::vector<FoundFile> backups;
  if (auto listed = listFiles(hostsDirectory(), kSessionJournals); !listed)
    facts.sessionFilesError = listed.error();
  else
    journals = std::move(*listed);
  if (!facts.sessionFilesError) {
    if (auto listed = listFiles(hostsDirectory(), kSessionBackups); !listed)
      facts.sessionFilesError = listed.error();
    else
      backups = std::move(*listed);
  }
  std::vector<std::wstring> stems;
  for (const FoundFile& found : journals) {
    if (!endsWith(found.path, kJournalSuffix)) continue;
    const std::wstring stem = found.path.substr(0, found.path.size() - kJournalSuffix.size());
    JournalFact fact{{wideToUtf8(found.path.c_str()), found.size},
                     fileFact(stem + std::wstring(kBackupSuffix)),
                     heldByVarnick(found.path),
                     std::nullopt,
                     0};
    if (Expected<std::string, std::uint32_t> bytes = readShared(found.path.c_str()); !bytes) {
      fact.readError = bytes.error();
    } else {
      fact.bytes = std::move(*bytes);
    }
    facts.journals.push_back(std::move(fact));
    stems.push_back(stem);
  }
  for (const FoundFile& found : backups) {
    if (!endsWith(found.path, kBackupSuffix)) continue;
    const std::wstring stem = found.path.substr(0, found.path.size() - kBackupSuffix.size());
    if (std::find(stems.begin(), stems.end(), stem) == stems.end())
      facts.backupsAlone.push_back({wideToUtf8(found.path.c_str()), found.size});
  }
}

void lookAtTemporaryCopies(StatusFacts& facts) {
  wchar_t buffer[MAX_PATH + 1];
  const DWORD length = GetTempPathW(MAX_PATH + 1, buffer);
  if (length == 0 || length > MAX_PATH) {
    facts.tempFolder = "%TEMP%";
    return;
  }
  const std::wstring folder(buffer, length);
  std::string shown = wideToUtf8(folder.c_str());
  if (shown.size() > 3 && shown.back() == '\\') shown.pop_back();  // but C:\ stays
  facts.tempFolder = shown;
  Expected<std::vector<FoundFile>, std::uint32_t> copies = listFiles(folder, kTemporaryCopies);
  if (!copies) {
    facts.tempListError = copies.error();
    return;
  }
  for (const FoundFile& copy : *copies) {
    ++facts.tempCopies;
    facts.tempBytes += copy.size;
  }
}

// The Varnick service, what its policy allows and who holds which entries
// through it, as it says itself.
ServiceFact lookAtService() {
  ServiceFact service;
  service.process = runningServicePid();
  if (service.process == 0) return service;
  ServiceClient client;
  if (Expected<void, std::string> connected = client.connect(); !connected) {
    service.error = connected.error();
    return service;
  }
  service.policy = client.policy();
  if (Expected<std::vector<std::string>, std::string> holders = client.holders())
    service.holders = std::move(*holders);
  return service;
}

}  // namespace

int reportStatus(bool json) {
  StatusFacts facts;
  facts.service = lookAtService();
  // The journals, then the serving lock: a journal held open is a running
  // session's, whatever the lock says.
  const Expected<void, LocateFailure> located = locateHostsFile();
  if (located) {
    facts.hostsFile = fileFact(hostsFilePath());
    lookAtSessionFiles(facts);
  }
  lookAtServingLock(facts, located);
  lookAtTemporaryCopies(facts);
  if (std::optional<std::wstring> folder = varnickFolderPath())
    facts.log = fileFact(*folder + L"\\" + kVarnickLogName);
  if (json) {
    // Written as --json's events are: one write, so that a reader never sees
    // half of the line, and LF alone, which the C runtime's text mode would
    // turn into CR LF.
    const std::string line = statusJson(facts);
    writeAll(GetStdHandle(STD_OUTPUT_HANDLE), line.data(), static_cast<DWORD>(line.size()))
        .ignore();
    return 0;
  }
  for (const std::string& line : statusLines(facts))
    std::printf("%s\n", line.c_str());
  std::fflush(stdout);
  return 0;
}

}  // namespace varnick::control
