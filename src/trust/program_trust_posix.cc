#include "trust/program_trust_posix.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace varnick::control {
namespace {

constexpr char kAccessAcl[] = "system.posix_acl_access";

std::string userName(std::uint32_t uid) {
  const passwd* user = ::getpwuid(uid);
  return user ? std::string(user->pw_name) : "uid " + std::to_string(uid);
}

std::string groupName(std::uint32_t gid) {
  const group* found = ::getgrgid(gid);
  return found ? std::string(found->gr_name) : "gid " + std::to_string(gid);
}

// The rights of one file or folder, not following a link at its name; the
// errno when they cannot be read. No ACL support counts as no ACL.
int readRights(const std::string& path, PosixRights& rights) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) return errno;
  rights.owner = status.st_uid;
  rights.group = status.st_gid;
  rights.mode = status.st_mode & 07777;
  std::vector<char> acl(256);
  for (;;) {
    const ssize_t size = ::lgetxattr(path.c_str(), kAccessAcl, acl.data(), acl.size());
    if (size >= 0) {
      rights.acl.assign(acl.data(), static_cast<std::size_t>(size));
      return 0;
    }
    if (errno == ENODATA || errno == ENOTSUP) return 0;
    if (errno != ERANGE) return errno;
    acl.resize(acl.size() * 4);
  }
}

}  // namespace

std::string changerInWords(const PosixChanger& changer) {
  using Who = PosixChanger::Who;
  switch (changer.who) {
    case Who::kOwner:
      return "the user " + userName(changer.id) + ", its owner,";
    case Who::kGroup:
      return "the group " + groupName(changer.id);
    case Who::kOthers:
      return "every user";
    case Who::kAclUser:
      return "the user " + userName(changer.id) + " (by its ACL)";
    case Who::kAclGroup:
      return "the group " + groupName(changer.id) + " (by its ACL)";
    case Who::kAclUnread:
      break;
  }
  return "someone its ACL names (in a form not read here)";
}

ProgramTrust checkThisProgram() {
  ProgramTrust trust;
  std::vector<char> target(4096);
  const ssize_t length = ::readlink("/proc/self/exe", target.data(), target.size());
  if (length <= 0 || static_cast<std::size_t>(length) >= target.size()) {
    trust.error = length < 0 ? errno : ENAMETOOLONG;
    return trust;
  }
  trust.path.assign(target.data(), static_cast<std::size_t>(length));
  // The program, then each folder above it; the root is the last.
  for (std::string path = trust.path;;) {
    PosixRights rights;
    if (int error = readRights(path, rights)) {
      trust.error = error;
      trust.changeable = path;
      return trust;
    }
    if (std::optional<PosixChanger> changer = posixChanger(rights)) {
      trust.changer = changerInWords(*changer);
      trust.changeable = path;
      return trust;
    }
    if (path == "/") return trust;
    const std::size_t slash = path.find_last_of('/');
    path = slash == 0 ? "/" : path.substr(0, slash);
  }
}

}  // namespace varnick::control
