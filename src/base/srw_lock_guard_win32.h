// Holds an SRW lock exclusively for as long as it lives.
#pragma once

#include <windows.h>

namespace varnick {

class SrwLockGuard {
 public:
  explicit SrwLockGuard(SRWLOCK& lock) : lock_(lock) { AcquireSRWLockExclusive(&lock_); }
  ~SrwLockGuard() { ReleaseSRWLockExclusive(&lock_); }
  SrwLockGuard(const SrwLockGuard&) = delete;
  SrwLockGuard& operator=(const SrwLockGuard&) = delete;

 private:
  SRWLOCK& lock_;
};

}  // namespace varnick
