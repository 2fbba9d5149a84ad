// Test helper: runs a command line with the token that an administrator's
// unelevated prompt has, waits for it and exits with its exit code, so that
// a test can reach what a program does when it is not elevated (a session's
// start of Varnick through consent, say).
//
//   run_limited COMMAND [ARG ...]
//
// The token is the limited twin that the system links to an elevated one
// (UAC's; Wine links one to every process's token, all of which are
// elevated), with the Administrators group for deny only, as UAC leaves it.
// Under Wine the Administrators group for deny only is not enough alone: a
// restricted copy of an elevated token still says it is elevated. Prints
// "run_limited: <call> failed with error <code>" and exits 1 when the
// command could not be started.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

int fail(const char* call) {
  std::fprintf(stderr, "run_limited: %s failed with error %lu\n", call, GetLastError());
  return 1;
}

// The command line after this program's own name, exactly as it was written.
std::wstring commandAfterProgram() {
  const wchar_t* line = GetCommandLineW();
  bool quoted = false;
  for (; *line != L'\0' && (quoted || (*line != L' ' && *line != L'\t')); ++line) {
    if (*line == L'"') quoted = !quoted;
  }
  while (*line == L' ' || *line == L'\t')
    ++line;
  return line;
}

// A primary token for the limited twin of `token`, or `token` itself when
// it has none (it is limited already, or UAC is off).
HANDLE limitedTwin(HANDLE token) {
  TOKEN_LINKED_TOKEN linked{};
  DWORD size = 0;
  TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
  if (!GetTokenInformation(token, TokenElevationType, &type, sizeof type, &size) ||
      type != TokenElevationTypeFull ||
      !GetTokenInformation(token, TokenLinkedToken, &linked, sizeof linked, &size)) {
    return token;
  }
  HANDLE primary = nullptr;
  BOOL made = DuplicateTokenEx(linked.LinkedToken, MAXIMUM_ALLOWED, nullptr, SecurityImpersonation,
                               TokenPrimary, &primary);
  CloseHandle(linked.LinkedToken);
  return made ? primary : token;
}

}  // namespace

int wmain() {
  std::wstring command = commandAfterProgram();
  if (command.empty()) {
    std::fprintf(stderr, "usage: run_limited COMMAND [ARG ...]\n");
    return 2;
  }
  HANDLE own = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_ASSIGN_PRIMARY,
                        &own)) {
    return fail("OpenProcessToken");
  }
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  PSID administrators = nullptr;
  if (!AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0,
                                0, 0, 0, 0, &administrators)) {
    return fail("AllocateAndInitializeSid");
  }
  SID_AND_ATTRIBUTES denyOnly{administrators, 0};
  HANDLE limited = nullptr;
  if (!CreateRestrictedToken(limitedTwin(own), 0, 1, &denyOnly, 0, nullptr, 0, nullptr, &limited)) {
    return fail("CreateRestrictedToken");
  }
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessAsUserW(limited, nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                            nullptr, &startup, &process)) {
    return fail("CreateProcessAsUserW");
  }
  CloseHandle(process.hThread);
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 1;
  if (!GetExitCodeProcess(process.hProcess, &code)) return fail("GetExitCodeProcess");
  return static_cast<int>(code);
}
