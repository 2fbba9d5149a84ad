// Winsock for as long as an owner lives: started when it is made, cleaned up
// when it goes, so that no path forgets WSACleanup or calls it twice.
#pragma once

#include <winsock2.h>
#include <windows.h>

namespace varnick {

class Winsock {
 public:
  // Asks for version 2.2.
  Winsock() : error_(WSAStartup(MAKEWORD(2, 2), &data_)) {}
  ~Winsock() {
    if (started()) WSACleanup();
  }
  Winsock(const Winsock&) = delete;
  Winsock& operator=(const Winsock&) = delete;

  // Whether WSAStartup succeeded; error() is its code when it did not.
  bool started() const { return error_ == 0; }
  int error() const { return error_; }

  // What the DLL said of itself; meaningful only when started().
  const WSADATA& data() const { return data_; }

  // Whether the DLL agreed to the version asked for. A DLL that starts with
  // another version still needs its WSACleanup, which the destructor makes.
  bool hasVersion22() const { return LOBYTE(data_.wVersion) == 2 && HIBYTE(data_.wVersion) == 2; }

 private:
  WSADATA data_{};
  int error_;
};

}  // namespace varnick
