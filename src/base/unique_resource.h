// The move-only owner of a resource, the one place that closes or frees it,
// and its alias for C runtime streams. The owners of Win32 handles, sockets
// and LocalAlloc'ed memory are in unique_resource_win32.h, that of a POSIX
// descriptor in unique_fd_posix.h.
#pragma once

#include <cstdio>
#include <utility>

namespace varnick {

// Owns one resource of kind T and closes it with Close when it goes out of
// scope. Close keeps the thread's last error (errno, and GetLastError on
// Windows), so a close on a failure path does not overwrite the code that
// the failing call left behind.
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
    if (old != Invalid()) Close(old);
  }

 private:
  T value_ = Invalid();
};

namespace detail {
inline FILE* nullStream() { return nullptr; }
// Closes a stream and keeps the thread's last error: defined once a platform,
// in unique_resource_win32.cc and unique_resource_posix.cc.
void closeStream(FILE* stream);
}  // namespace detail

using UniqueStream = UniqueResource<FILE*, detail::nullStream, detail::closeStream>;

}  // namespace varnick
