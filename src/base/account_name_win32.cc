#include "base/account_name_win32.h"

#include "base/wide_text.h"

namespace varnick {

std::optional<std::string> accountNameOf(PSID sid) {
  wchar_t name[256];
  wchar_t domain[256];
  DWORD nameSize = 256;
  DWORD domainSize = 256;
  SID_NAME_USE use;
  if (!LookupAccountSidW(nullptr, sid, name, &nameSize, domain, &domainSize, &use))
    return std::nullopt;
  const std::wstring shown =
      domainSize > 0 ? std::wstring(domain) + L"\\" + name : std::wstring(name);
  return wideToUtf8(shown.c_str());
}

}  // namespace varnick
