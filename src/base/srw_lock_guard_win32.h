// Holds an SRW lock exclusively for as long as it lives.
#pragma once

#include <windows.h>

namespace varnick {

class SrwTurn {
 public:
  explicit SrwTurn(SRWLOCK& lock) : lock_(lock) { AcquireSRWLockExclusive(&lock_); }
  ~SrwTurn() { ReleaseSRWLockExclusive(&lock_); }
  SrwTurn(const SrwTurn&) = delete;
  SrwTurn& operator=(const SrwTurn&) = delete;

 private:
  SRWLOCK& lock_;
};

}  // namespace varnick
