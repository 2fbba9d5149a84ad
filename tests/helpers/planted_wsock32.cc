// Test helper: a WSOCK32.dll as another program might plant it. Loaded, it
// leaves a file at the path that PLANTED_DLL_MARKER names, and its
// WSAStartup fails as a broken Winsock would (WSASYSNOTREADY), so that a test
// can tell whether, and from where, a program loaded it.
#include <windows.h>

namespace {

void leaveMarker() {
  wchar_t path[MAX_PATH];
  DWORD length = GetEnvironmentVariableW(L"PLANTED_DLL_MARKER", path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return;
  HANDLE marker =
      CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (marker != INVALID_HANDLE_VALUE) CloseHandle(marker);
}

constexpr int kSystemNotReady = 10091;  // WSASYSNOTREADY
constexpr long long kSocketError = -1;

}  // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) leaveMarker();
  return TRUE;
}

__declspec(dllexport) int WINAPI WSAStartup(unsigned short, void*) { return kSystemNotReady; }
__declspec(dllexport) int WINAPI WSACleanup() { return 0; }
__declspec(dllexport) long long WINAPI socket(int, int, int) { return kSocketError; }
__declspec(dllexport) int WINAPI closesocket(long long) { return 0; }
__declspec(dllexport) int WINAPI connect(long long, const void*, int) { return -1; }
__declspec(dllexport) void* WINAPI gethostbyname(const char*) { return nullptr; }
__declspec(dllexport) unsigned short WINAPI htons(unsigned short value) {
  return static_cast<unsigned short>((value << 8) | (value >> 8));
}
__declspec(dllexport) int WINAPI recv(long long, char*, int, int) { return -1; }
__declspec(dllexport) int WINAPI send(long long, const char*, int, int) { return -1; }
__declspec(dllexport) int WINAPI shutdown(long long, int) { return -1; }
}
