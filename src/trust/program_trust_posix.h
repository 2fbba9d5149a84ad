// Before this program runs itself as root through sudo: who, besides root,
// could have changed it or any folder above it. A program that its user
// may change would run as root whatever they, or a program of theirs, put
// in its place.
#pragma once

#include <optional>
#include <string>

#include "trust/posix_rights.h"

namespace varnick::control {

struct ProgramTrust {
  std::string path;  // the program as the system runs it, every link resolved
  // Who could change `changeable`, in words ("user me (uid 1000)"); empty
  // when nobody but root could change the program or any folder above it.
  std::string changer;
  std::string changeable;  // the program, or the folder above it that they may change
  int error = 0;           // errno, when the program or a folder could not be looked at
};

// Looks at the running program (/proc/self/exe) and each folder above it,
// up to the root, each by its own name and without following a link.
ProgramTrust checkThisProgram();

// `changer` in words, naming users and groups as the system does.
std::string changerInWords(const PosixChanger& changer);

}  // namespace varnick::control
