#include "service/policy_registry_win32.h"

#include <windows.h>

#include "base/wide_text.h"

namespace varnick {
namespace {

// The strings of a REG_MULTI_SZ value; nothing when it is not there.
std::vector<std::string> readList(const wchar_t* name, std::vector<std::string>& problems) {
  DWORD size = 0;
  LSTATUS status = RegGetValueW(HKEY_LOCAL_MACHINE, kPolicyKey, name, RRF_RT_REG_MULTI_SZ, nullptr,
                                nullptr, &size);
  if (status == ERROR_FILE_NOT_FOUND) return {};
  std::wstring buffer(size / sizeof(wchar_t) + 1, L'\0');
  if (status == ERROR_SUCCESS) {
    status = RegGetValueW(HKEY_LOCAL_MACHINE, kPolicyKey, name, RRF_RT_REG_MULTI_SZ, nullptr,
                          buffer.data(), &size);
  }
  if (status != ERROR_SUCCESS) {
    problems.push_back(wideToUtf8(name) + " (error " + std::to_string(status) + ")");
    return {};
  }
  std::vector<std::string> items;
  for (const wchar_t* item = buffer.c_str(); *item != L'\0'; item += std::wcslen(item) + 1)
    items.push_back(wideToUtf8(item));
  return items;
}

std::optional<std::size_t> readNumber(const wchar_t* name, std::vector<std::string>& problems) {
  DWORD value = 0;
  DWORD size = sizeof value;
  LSTATUS status =
      RegGetValueW(HKEY_LOCAL_MACHINE, kPolicyKey, name, RRF_RT_REG_DWORD, nullptr, &value, &size);
  if (status == ERROR_FILE_NOT_FOUND) return std::nullopt;
  if (status != ERROR_SUCCESS) {
    problems.push_back(wideToUtf8(name) + " (error " + std::to_string(status) + ")");
    return std::nullopt;
  }
  return value;
}

}  // namespace

PolicyAdditions readPolicyAdditions(std::vector<std::string>& problems) {
  PolicyAdditions additions;
  additions.nameSuffixes = readList(L"NameSuffixes", problems);
  additions.addresses = readList(L"Addresses", problems);
  additions.maxPerConnection = readNumber(L"MaxPerConnection", problems);
  additions.maxPerUser = readNumber(L"MaxPerUser", problems);
  additions.maxInAll = readNumber(L"MaxInAll", problems);
  return additions;
}

}  // namespace varnick
