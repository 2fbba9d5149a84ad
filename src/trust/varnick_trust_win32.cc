#include "trust/varnick_trust_win32.h"

#include <aclapi.h>
#include <sddl.h>

#include <optional>

#include "base/file_identity_win32.h"
#include "base/account_name_win32.h"
#include "base/wide_text.h"
#include "trust/folder_rights.h"

namespace varnick::control {
namespace {

std::string sidText(PSID sid) {
  wchar_t* raw = nullptr;
  if (sid == nullptr || !ConvertSidToStringSidW(sid, &raw)) return "an unreadable SID";
  UniqueLocal<wchar_t*> text(raw);
  return wideToUtf8(text.get());
}

// The rules as portable values. Allow entries of kinds with extra fields
// (object and compound entries) name no trustee that can be weighed, so they
// count as untrusted.
ObjectRights portableRights(PSID owner, PACL dacl) {
  ObjectRights rights{sidText(owner), dacl != nullptr, {}};
  for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
    ACE_HEADER* header = nullptr;
    if (!GetAce(dacl, i, reinterpret_cast<void**>(&header))) continue;
    AccessEntry entry;
    entry.inheritOnly = (header->AceFlags & INHERIT_ONLY_ACE) != 0;
    switch (header->AceType) {
      case ACCESS_ALLOWED_ACE_TYPE:
      case ACCESS_ALLOWED_CALLBACK_ACE_TYPE:
      case ACCESS_DENIED_ACE_TYPE: {
        // These three share one layout: header, mask, SID.
        auto* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
        entry.allows = header->AceType != ACCESS_DENIED_ACE_TYPE;
        entry.mask = ace->Mask;
        entry.trustee = sidText(&ace->SidStart);
        break;
      }
      case ACCESS_ALLOWED_COMPOUND_ACE_TYPE:
      case ACCESS_ALLOWED_OBJECT_ACE_TYPE:
      case ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE:
        entry.mask = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header)->Mask;
        entry.trustee = "an access entry of a kind that is not read here";
        break;
      default:
        continue;  // audit and label entries grant nothing
    }
    rights.entries.push_back(std::move(entry));
  }
  return rights;
}

// "MACHINE\user (S-1-5-21-...)", or the SID alone when the system cannot name it.
std::string accountName(const std::string& sid) {
  PSID raw = nullptr;
  if (!ConvertStringSidToSidA(sid.c_str(), &raw)) return sid;
  UniqueLocal<PSID> binary(raw);
  std::optional<std::string> name = accountNameOf(binary.get());
  return name ? *name + " (" + sid + ")" : sid;
}

// Who besides the trusted could change the object open at `handle`; the
// error code when its rules cannot be read.
SystemResult changerOf(HANDLE handle, std::optional<std::string>& changer) {
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR raw = nullptr;
  DWORD error = GetSecurityInfo(handle, SE_FILE_OBJECT,
                                OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                                nullptr, &dacl, nullptr, &raw);
  if (error != ERROR_SUCCESS) return unexpected(error);
  // The owner and the rules point into the descriptor: it goes after them.
  UniqueLocal<PSECURITY_DESCRIPTOR> rules(raw);
  changer = untrustedChanger(portableRights(owner, dacl));
  return {};
}

std::wstring folderOf(const std::wstring& path) {
  std::size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring(L".") : path.substr(0, slash + 1);
}

// Whether `path` names the file open at `file`: the same volume, the same
// file number.
bool namesFile(const std::wstring& path, HANDLE file) {
  // Attributes alone: no share mode stands in the way of that.
  UniqueFile named(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, 0, nullptr));
  BY_HANDLE_FILE_INFORMATION reached;
  BY_HANDLE_FILE_INFORMATION open;
  return named && GetFileInformationByHandle(named.get(), &reached) &&
         GetFileInformationByHandle(file, &open) &&
         reached.dwVolumeSerialNumber == open.dwVolumeSerialNumber &&
         reached.nFileIndexHigh == open.nFileIndexHigh &&
         reached.nFileIndexLow == open.nFileIndexLow;
}

// The path to start the open program by: the one by which the system
// reached it, every link on the way resolved, once it is seen to name that
// file. Without the "\\?\" prefix when it names it so, as the shell takes
// it; Win32 drops a name's trailing dot or space and bounds a path by
// MAX_PATH, so else with the prefix, which CreateProcessW takes and the
// shell may refuse (nothing starts then). kErrorIsLink when neither names
// the file (Wine names a folder "dotted." as "dotted").
SystemResult startablePath(HANDLE program, std::wstring& path) {
  const std::wstring reached = reachedPath(program);
  if (reached.empty()) {
    const DWORD error = GetLastError();
    return unexpected(error);
  }
  path = reached;
  if (reached.size() < MAX_PATH && namesFile(path, program)) return {};
  path =
      reached.rfind(L"\\\\", 0) == 0 ? L"\\\\?\\UNC\\" + reached.substr(2) : L"\\\\?\\" + reached;
  if (!namesFile(path, program)) return unexpected(kErrorIsLink);
  return {};
}

}  // namespace

TrustResult checkVarnickTrust(const std::wstring& varnickPath) {
  VarnickTrust trust;
  // Full now: the shell would look for a relative name in the folder that
  // Varnick starts in, before the one it was given in.
  trust.path = fullLongPath(varnickPath.c_str());
  trust.program.reset(CreateFileW(trust.path.c_str(), GENERIC_READ | READ_CONTROL, FILE_SHARE_READ,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!trust.program) {
    const DWORD error = GetLastError();
    return unexpected(TrustFailure{trust.path, error});
  }
  // A link on the way to the name could be turned elsewhere once the check
  // is done; the path the system reached the file by has none, and no
  // folder on it can be renamed while the file in it is open. Its folder is
  // opened by that path too, so that the folder checked is the file's own.
  if (SystemResult startable = startablePath(trust.program.get(), trust.start); !startable)
    return unexpected(TrustFailure{trust.path, startable.error()});
  const std::wstring folder = folderOf(trust.start);
  trust.folder.reset(CreateFileW(folder.c_str(), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!trust.folder) {
    const DWORD error = GetLastError();
    return unexpected(TrustFailure{trust.path, error});
  }
  const std::pair<HANDLE, const std::wstring*> checked[] = {{trust.program.get(), &trust.start},
                                                            {trust.folder.get(), &folder}};
  for (const auto& [handle, path] : checked) {
    std::optional<std::string> changer;
    if (SystemResult read = changerOf(handle, changer); !read)
      return unexpected(TrustFailure{trust.path, read.error()});
    if (changer) {
      trust.changer = accountName(*changer);
      trust.changeable = *path;
      return trust;
    }
  }
  return trust;
}

}  // namespace varnick::control
