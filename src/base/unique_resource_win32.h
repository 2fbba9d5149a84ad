// The owners of Win32 handles, sockets, registry keys, searches, service
// control handles and memory that the system allocated with LocalAlloc: the
// one place that closes or frees them.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include "base/unique_resource.h"

namespace varnick {
namespace detail {

// Runs `Close` and keeps the thread's last error, as UniqueResource needs of
// its Close: a close on a failure path must not overwrite the code that the
// failing call left behind.
template <typename T, void (*Close)(T)>
void keepingLastError(T value) {
  const DWORD saved = GetLastError();
  Close(value);
  SetLastError(saved);
}

inline HANDLE invalidFileHandle() { return INVALID_HANDLE_VALUE; }
inline HANDLE nullHandle() { return nullptr; }
inline void closeHandle(HANDLE h) { CloseHandle(h); }
inline SOCKET invalidSocket() { return INVALID_SOCKET; }
inline void closeSocket(SOCKET s) { closesocket(s); }
inline HKEY nullKey() { return nullptr; }
inline void closeKey(HKEY k) { RegCloseKey(k); }
inline void closeSearch(HANDLE h) { FindClose(h); }
inline SC_HANDLE nullServiceHandle() { return nullptr; }
inline void closeServiceHandle(SC_HANDLE h) { CloseServiceHandle(h); }
template <typename Pointer>
Pointer nullPointer() {
  return nullptr;
}
template <typename Pointer>
void freeLocal(Pointer memory) {
  LocalFree(memory);
}

}  // namespace detail

// CreateFileW reports failure with INVALID_HANDLE_VALUE, most other calls with null.
using UniqueFile = UniqueResource<HANDLE, detail::invalidFileHandle,
                                  detail::keepingLastError<HANDLE, detail::closeHandle>>;
using UniqueHandle = UniqueResource<HANDLE, detail::nullHandle,
                                    detail::keepingLastError<HANDLE, detail::closeHandle>>;
using UniqueSocket = UniqueResource<SOCKET, detail::invalidSocket,
                                    detail::keepingLastError<SOCKET, detail::closeSocket>>;
using UniqueKey =
    UniqueResource<HKEY, detail::nullKey, detail::keepingLastError<HKEY, detail::closeKey>>;
// A FindFirstFileW search.
using UniqueSearch = UniqueResource<HANDLE, detail::invalidFileHandle,
                                    detail::keepingLastError<HANDLE, detail::closeSearch>>;
// A handle of the service control manager, or of a service it opened.
using UniqueServiceHandle =
    UniqueResource<SC_HANDLE, detail::nullServiceHandle,
                   detail::keepingLastError<SC_HANDLE, detail::closeServiceHandle>>;
// Memory that the system allocated for the caller with LocalAlloc, as the
// pointer type that the call gave it: wchar_t* text, a PSID, a
// PSECURITY_DESCRIPTOR.
template <typename Pointer>
using UniqueLocal = UniqueResource<Pointer, detail::nullPointer<Pointer>,
                                   detail::keepingLastError<Pointer, detail::freeLocal<Pointer>>>;
using UniqueLocalMemory = UniqueLocal<HLOCAL>;

}  // namespace varnick
