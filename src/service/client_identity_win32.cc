#include "service/client_identity_win32.h"

#include <sddl.h>

#include <string>

#include "base/account_name_win32.h"
#include "base/unique_resource_win32.h"
#include "base/wide_text.h"

namespace varnick {
namespace {

std::optional<std::string> sidText(PSID sid) {
  wchar_t* raw = nullptr;
  if (!ConvertSidToStringSidW(sid, &raw)) return std::nullopt;
  UniqueLocal<wchar_t*> text(raw);
  return wideToUtf8(text.get());
}

bool administratorsEnabled(HANDLE token) {
  HANDLE raw = nullptr;
  if (!DuplicateToken(token, SecurityIdentification, &raw)) return false;
  UniqueHandle identification(raw);
  alignas(SID) unsigned char administrators[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof administrators;
  BOOL member = FALSE;
  return CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size) &&
         CheckTokenMembership(identification.get(), administrators, &member) && member;
}

}  // namespace

std::optional<Caller> identifyClient(DWORD pid) {
  UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  HANDLE raw = nullptr;
  if (!process || !OpenProcessToken(process.get(), TOKEN_QUERY | TOKEN_DUPLICATE, &raw))
    return std::nullopt;
  UniqueHandle token(raw);
  alignas(TOKEN_USER) unsigned char buffer[256];
  DWORD size = 0;
  if (!GetTokenInformation(token.get(), TokenUser, buffer, sizeof buffer, &size))
    return std::nullopt;
  PSID sid = reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid;
  std::optional<std::string> user = sidText(sid);
  if (!user) return std::nullopt;
  Caller caller;
  caller.user = *user;
  caller.account = accountNameOf(sid).value_or(*user) + " (process " + std::to_string(pid) + ")";
  caller.administrator = administratorsEnabled(token.get());
  return caller;
}

}  // namespace varnick
