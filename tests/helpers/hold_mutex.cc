// Test helper: takes a named mutex before Varnick does, until its standard
// input closes, so tests can show how Varnick meets a lock that another
// process holds or has made unusable.
//
//   hold_mutex <name> hold   owns the mutex (creating it if need be)
//   hold_mutex <name> deny   creates it with a DACL that grants everyone
//                            SYNCHRONIZE only, so nobody else may own it
//
// Prints "held" once the mutex is its own, or "error <code>".
#include <windows.h>
#include <sddl.h>

#include <cstdio>
#include <cwchar>

namespace {

int fail(const char* what) {
  std::printf("error %lu (%s)\n", GetLastError(), what);
  std::fflush(stdout);
  return 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3 || (std::wcscmp(argv[2], L"hold") != 0 && std::wcscmp(argv[2], L"deny") != 0)) {
    std::fprintf(stderr, "usage: hold_mutex <name> hold|deny\n");
    return 2;
  }
  HANDLE mutex = nullptr;
  if (std::wcscmp(argv[2], L"hold") == 0) {
    mutex = CreateMutexW(nullptr, FALSE, argv[1]);
    if (mutex == nullptr) return fail("CreateMutexW");
    DWORD waited = WaitForSingleObject(mutex, INFINITE);
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) return fail("WaitForSingleObject");
  } else {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
            L"D:(A;;0x00100000;;;WD)", SDDL_REVISION_1, &descriptor, nullptr)) {
      return fail("ConvertStringSecurityDescriptorToSecurityDescriptorW");
    }
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
    mutex = CreateMutexW(&attributes, FALSE, argv[1]);
    LocalFree(descriptor);
    // A name that stood already keeps the rules it was made with.
    if (mutex == nullptr || GetLastError() == ERROR_ALREADY_EXISTS) return fail("CreateMutexW");
  }
  std::printf("held\n");
  std::fflush(stdout);
  while (std::fgetc(stdin) != EOF) {
  }
  if (std::wcscmp(argv[2], L"hold") == 0) ReleaseMutex(mutex);
  CloseHandle(mutex);
  return 0;
}
