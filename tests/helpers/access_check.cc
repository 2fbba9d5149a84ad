// Test helper: asks AccessCheck, the system's own judge, whether each of
// two callers gets each access to an object. The callers: "admin", this
// process's token (elevated), and "user", the same token as UAC gives it to
// a standard user's programs, with Administrators only for denying; both
// duplicated to identification tokens, as AccessCheck wants.
//
//   access_check pipe <name> <caller>:<access>...
//   access_check rules <constant> <caller>:<access>...
//
// A pipe's descriptor is read back from the pipe itself, and each <access>
// is what an open asks for: the pipe is opened with it and the access that
// the handle then holds (with what CreateFileW adds) is checked. "rules"
// checks one of the constants of src/base/object_rules_win32.h by name, for the
// objects whose descriptor Wine keeps nowhere: files and folders (it makes
// one up from the Unix mode) and services (QueryServiceObjectSecurity
// gives an empty list).
//
// <access> is a hexadecimal mask, generic rights mapped with the object's
// mapping (the service's for kServiceRules, files' otherwise), or
// "client": kPipeClientAccess. One line per <caller>:<access>:
//   <object> | <caller> | 0x<access> | granted 0x<mask>
//   <object> | <caller> | 0x<access> | denied (allows 0x<mask>)
// The descriptor goes to standard error. A step that fails prints
// "error <step> <code>" and exits 1.
#include <windows.h>
#include <sddl.h>
#include <aclapi.h>
#include <winternl.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

#include "base/object_rules_win32.h"

namespace {

const GENERIC_MAPPING kFileMapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                                      FILE_ALL_ACCESS};
const GENERIC_MAPPING kServiceMapping = {STANDARD_RIGHTS_READ | SERVICE_QUERY_CONFIG |
                                             SERVICE_QUERY_STATUS | SERVICE_INTERROGATE |
                                             SERVICE_ENUMERATE_DEPENDENTS,
                                         STANDARD_RIGHTS_WRITE | SERVICE_CHANGE_CONFIG,
                                         STANDARD_RIGHTS_EXECUTE | SERVICE_START | SERVICE_STOP |
                                             SERVICE_PAUSE_CONTINUE | SERVICE_USER_DEFINED_CONTROL,
                                         SERVICE_ALL_ACCESS};

struct Rules {
  const wchar_t* name;
  const wchar_t* sddl;
  const GENERIC_MAPPING* mapping;
};

const Rules kRules[] = {
    {L"kServiceRules", varnick::kServiceRules, &kServiceMapping},
    {L"kServiceFolderRules", varnick::kServiceFolderRules, &kFileMapping},
    {L"kLockFileRules", varnick::kLockFileRules, &kFileMapping},
    {L"kJournalRules", varnick::kJournalRules, &kFileMapping},
};

constexpr SECURITY_INFORMATION kWhole =
    OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;

[[noreturn]] void fail(const char* step, DWORD error) {
  std::printf("error %s %lu\n", step, error);
  std::fflush(stdout);
  std::exit(1);
}

// Handles on the pipe stay open until the end: a client that closes before
// the server has taken its instance would test the server, not the rules.
std::vector<HANDLE> openedPipes;

HANDLE openPipe(const wchar_t* name, DWORD access) {
  if (!WaitNamedPipeW(name, 10000)) fail("WaitNamedPipeW", GetLastError());
  HANDLE pipe = CreateFileW(name, access, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (pipe == INVALID_HANDLE_VALUE) fail("CreateFileW", GetLastError());
  openedPipes.push_back(pipe);
  return pipe;
}

PSECURITY_DESCRIPTOR pipeDescriptor(const wchar_t* name) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD error = GetSecurityInfo(openPipe(name, READ_CONTROL), SE_FILE_OBJECT, kWhole, nullptr,
                                      nullptr, nullptr, nullptr, &descriptor);
  if (error != ERROR_SUCCESS) fail("GetSecurityInfo", error);
  return descriptor;
}

// The access that a handle opened on the pipe with `access` holds.
DWORD heldAccess(const wchar_t* name, DWORD access) {
  PUBLIC_OBJECT_BASIC_INFORMATION basic{};
  const NTSTATUS status =
      NtQueryObject(openPipe(name, access), ObjectBasicInformation, &basic, sizeof basic, nullptr);
  if (status != 0) fail("NtQueryObject", static_cast<DWORD>(status));
  return basic.GrantedAccess;
}

// A constant's descriptor, owned by SYSTEM, whom neither caller is, so that
// the rows show what the list alone grants.
PSECURITY_DESCRIPTOR rulesDescriptor(const Rules& rules) {
  const std::wstring sddl = std::wstring(L"O:SYG:SY") + rules.sddl;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                            &descriptor, nullptr)) {
    fail("ConvertStringSecurityDescriptorToSecurityDescriptorW", GetLastError());
  }
  return descriptor;
}

HANDLE identification(HANDLE token) {
  HANDLE duplicate = nullptr;
  if (!DuplicateToken(token, SecurityIdentification, &duplicate))
    fail("DuplicateToken", GetLastError());
  return duplicate;
}

// This process's token, and the same with Administrators for denying only.
void makeCallers(HANDLE& admin, HANDLE& user) {
  HANDLE own = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, &own))
    fail("OpenProcessToken", GetLastError());
  BYTE sid[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof sid;
  if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sid, &size))
    fail("CreateWellKnownSid", GetLastError());
  SID_AND_ATTRIBUTES administrators{sid, 0};
  HANDLE restricted = nullptr;
  if (!CreateRestrictedToken(own, 0, 1, &administrators, 0, nullptr, 0, nullptr, &restricted))
    fail("CreateRestrictedToken", GetLastError());
  admin = identification(own);
  user = identification(restricted);
}

// What AccessCheck grants `token` of `access`: whether all of it, and the
// mask granted (all that is allowed, when not all).
bool accessCheck(PSECURITY_DESCRIPTOR descriptor, HANDLE token, DWORD access,
                 const GENERIC_MAPPING& mapping, DWORD& granted) {
  BYTE privileges[512];
  DWORD privilegesSize = sizeof privileges;
  BOOL status = FALSE;
  if (!AccessCheck(descriptor, token, access, const_cast<GENERIC_MAPPING*>(&mapping),
                   reinterpret_cast<PRIVILEGE_SET*>(privileges), &privilegesSize, &granted,
                   &status)) {
    fail("AccessCheck", GetLastError());
  }
  return status;
}

void printDescriptor(PSECURITY_DESCRIPTOR descriptor) {
  wchar_t* text = nullptr;
  if (ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, kWhole,
                                                           &text, nullptr)) {
    std::fprintf(stderr, "%ls\n", text);
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const bool pipe = argc > 1 && std::wcscmp(argv[1], L"pipe") == 0;
  const Rules* rules = nullptr;
  for (const Rules& known : kRules) {
    if (argc > 2 && std::wcscmp(argv[2], known.name) == 0) rules = &known;
  }
  if (argc < 4 || !(pipe || (std::wcscmp(argv[1], L"rules") == 0 && rules))) {
    std::fprintf(stderr, "usage: access_check <pipe|rules> <name> <caller>:<access>...\n");
    return 2;
  }
  const wchar_t* name = argv[2];
  const GENERIC_MAPPING& mapping = pipe ? kFileMapping : *rules->mapping;
  PSECURITY_DESCRIPTOR descriptor = pipe ? pipeDescriptor(name) : rulesDescriptor(*rules);
  printDescriptor(descriptor);
  HANDLE admin = nullptr;
  HANDLE user = nullptr;
  makeCallers(admin, user);
  for (int i = 3; i < argc; ++i) {
    const wchar_t* colon = std::wcschr(argv[i], L':');
    if (!colon) fail("argument", ERROR_INVALID_PARAMETER);
    const std::wstring caller(argv[i], static_cast<std::size_t>(colon - argv[i]));
    if (caller != L"admin" && caller != L"user") fail("caller", ERROR_INVALID_PARAMETER);
    DWORD access = std::wcscmp(colon + 1, L"client") == 0
                       ? varnick::kPipeClientAccess
                       : static_cast<DWORD>(std::wcstoul(colon + 1, nullptr, 16));
    if (pipe) access = heldAccess(name, access);
    MapGenericMask(&access, const_cast<GENERIC_MAPPING*>(&mapping));
    const HANDLE token = caller == L"admin" ? admin : user;
    DWORD granted = 0;
    std::printf("%ls %ls | %ls | 0x%08lx | ", argv[1], name, caller.c_str(), access);
    if (accessCheck(descriptor, token, access, mapping, granted)) {
      std::printf("granted 0x%08lx\n", granted);
    } else {
      DWORD allowed = 0;
      if (!accessCheck(descriptor, token, MAXIMUM_ALLOWED, mapping, allowed)) allowed = 0;
      std::printf("denied (allows 0x%08lx)\n", allowed);
    }
  }
  std::fflush(stdout);
  // The server has taken the last instance opened once it offers the next.
  if (pipe && !WaitNamedPipeW(name, 10000)) fail("WaitNamedPipeW", GetLastError());
  for (HANDLE opened : openedPipes)
    CloseHandle(opened);
  return 0;
}
