#include "session/varnick_start_win32.h"

#include <winsock2.h>
#include <windows.h>

#include "base/error_text.h"
#include "base/file_identity_win32.h"
#include "base/file_io_win32.h"
#include "base/wide_text.h"
#include "hosts/hosts_location.h"
#include "hosts/hosts_store_win32.h"
#include "log/log_folder_win32.h"
#include "session/session_output.h"
#include "trust/varnick_trust_win32.h"

namespace varnick::control {
namespace {

std::wstring besideThisProgram(const wchar_t* name) {
  const std::wstring path = thisProgramPath();
  std::size_t slash = path.find_last_of(L"\\/");
  return (slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1)) + name;
}

}  // namespace

std::optional<std::wstring> varnickFolder() {
  std::optional<std::wstring> path = varnickFolderPath();
  if (!path) {
    report("could not find the folder for Varnick's log: LOCALAPPDATA is not set");
    return std::nullopt;
  }
  const std::wstring& folder = *path;
  if (!CreateDirectoryW(folder.c_str(), nullptr)) {
    const DWORD error = GetLastError();
    if (error != ERROR_ALREADY_EXISTS) {
      report(withCode("could not create the folder for Varnick's log " + wideToUtf8(folder.c_str()),
                      error));
      return std::nullopt;
    }
  }
  DWORD attributes = GetFileAttributesW(folder.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    report("could not use " + wideToUtf8(folder.c_str()) +
           " for Varnick's log: it is not a folder");
    return std::nullopt;
  }
  return folder;
}

std::string varnickLogShown(const std::wstring& folder) {
  return wideToUtf8((folder + L"\\" + kVarnickLogName).c_str());
}

int journalsBesideHostsFile() {
  // Varnick says why a listing failed.
  Expected<std::vector<FoundFile>, std::uint32_t> journals =
      listFiles(hostsDirectory(), kSessionJournals);
  return journals ? static_cast<int>(journals->size()) : 0;
}

bool startTrustedVarnick(Controller& controller, const SessionOptions& options,
                         const std::vector<std::wstring>& arguments, const std::wstring& folder,
                         const ServiceAnswer& service) {
  TrustResult checked =
      checkVarnickTrust(options.varnickPath.value_or(besideThisProgram(L"varnick.exe")));
  if (!checked) {
    const DWORD error = checked.error().error;
    const std::string shown = wideToUtf8(checked.error().path.c_str());
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
      report("varnick-not-found", "varnick.exe not found at " + shown);
    } else if (error == kErrorIsLink) {
      report("the path by which the system reaches " + shown +
             " names another file: varnick.exe starts only by a path that names the file checked");
    } else {
      report(withCode("could not read who may change " + shown + " or its folder", error));
    }
    return false;
  }
  const VarnickTrust& trust = *checked;
  if (!trust.changer.empty()) {
    const std::string what = wideToUtf8(trust.changeable.c_str());
    if (!options.trustVarnickFolder) {
      report("varnick-untrusted-folder",
             trust.changer + " may change " + what +
                 ", so a program running as them could have put its own code there to run with "
                 "administrator rights; varnick.exe starts only from where nobody but "
                 "administrators can change it");
      for (const std::string& line : untrustedFolderRemedies(service))
        remedy(line);
      return false;
    }
    notice("trusting " + what + " although " + trust.changer +
           " may change it: whatever a program running as them put there now runs with "
           "administrator rights");
  }
  Expected<void, StartFailure> started = controller.startVarnick(trust.start, arguments, folder);
  if (!started) {
    report(started.error().consentDeclined ? "consent-declined" : "varnick-unavailable",
           started.error().message);
    return false;
  }
  return true;
}

}  // namespace varnick::control
