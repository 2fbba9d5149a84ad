// Move-only owners for Win32 handles, sockets, memory that the system
// allocated with LocalAlloc, and C runtime streams: the one place that
// closes or frees them.
#pragma once

#include <cstdio>
#include <utility>

#ifdef _WIN32
#include <winsock2.h>
#include <windows.h>
#endif

namespace varnick {

// Owns one resource of kind T and closes it with Close when it goes out of
// scope. `reset` keeps the thread's last error, so a close on a failure path
// does not overwrite the code that the failing call left behind.
template <typename T, T (*Invalid)(), void (*Close)(T)>
class UniqueResource {
 public:
  UniqueResource() = default;
  explicit UniqueResource(T value) : value_(value) {}
  UniqueResource(const UniqueResource&) = delete;
  UniqueResource& operator=(const UniqueResource&) = delete;
  UniqueResource(UniqueResource&& other) noexcept : value_(other.release()) {}
  UniqueResource& operator=(UniqueResource&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ~UniqueResource() { reset(); }

  T get() const { return value_; }
  explicit operator bool() const { return value_ != Invalid(); }

  T release() { return std::exchange(value_, Invalid()); }

  void reset(T value = Invalid()) {
    T old = std::exchange(value_, value);
    if (old != Invalid()) closePreservingError(old);
  }

 private:
  static void closePreservingError(T old) {
#ifdef _WIN32
    DWORD saved = GetLastError();
    Close(old);
    SetLastError(saved);
#else
    Close(old);
#endif
  }

  T value_ = Invalid();
};

namespace detail {
inline FILE* nullStream() { return nullptr; }
inline void closeStream(FILE* f) { std::fclose(f); }
#ifdef _WIN32
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
#endif
}  // namespace detail

using UniqueStream = UniqueResource<FILE*, detail::nullStream, detail::closeStream>;
#ifdef _WIN32
// CreateFileW reports failure with INVALID_HANDLE_VALUE, most other calls with null.
using UniqueFile = UniqueResource<HANDLE, detail::invalidFileHandle, detail::closeHandle>;
using UniqueHandle = UniqueResource<HANDLE, detail::nullHandle, detail::closeHandle>;
using UniqueSocket = UniqueResource<SOCKET, detail::invalidSocket, detail::closeSocket>;
using UniqueKey = UniqueResource<HKEY, detail::nullKey, detail::closeKey>;
// A FindFirstFileW search.
using UniqueSearch = UniqueResource<HANDLE, detail::invalidFileHandle, detail::closeSearch>;
// A handle of the service control manager, or of a service it opened.
using UniqueServiceHandle =
    UniqueResource<SC_HANDLE, detail::nullServiceHandle, detail::closeServiceHandle>;
// Memory that the system allocated for the caller with LocalAlloc, as the
// pointer type that the call gave it: wchar_t* text, a PSID, a
// PSECURITY_DESCRIPTOR.
template <typename Pointer>
using UniqueLocal =
    UniqueResource<Pointer, detail::nullPointer<Pointer>, detail::freeLocal<Pointer>>;
using UniqueLocalMemory = UniqueLocal<HLOCAL>;
#endif

}  // namespace varnick
