#include "trust/posix_rights.h"

namespace varnick::control {
namespace {

constexpr std::uint32_t kGroupWrite = 0020;
constexpr std::uint32_t kOthersWrite = 0002;

// The ACL's form (linux/posix_acl_xattr.h), which no header of the C
// library carries.
constexpr std::uint32_t kAclVersion = 2;
constexpr std::size_t kAclHeaderBytes = 4;
constexpr std::size_t kAclEntryBytes = 8;
constexpr std::uint16_t kAclUser = 0x02;
constexpr std::uint16_t kAclGroup = 0x08;
constexpr std::uint16_t kAclMask = 0x10;
constexpr std::uint16_t kAclWrite = 0x02;

std::uint32_t littleEndian(std::string_view bytes, std::size_t at, std::size_t size) {
  std::uint32_t value = 0;
  for (std::size_t i = size; i-- > 0;)
    value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
  return value;
}

}  // namespace

std::optional<PosixChanger> aclWriter(std::string_view acl) {
  if (acl.size() < kAclHeaderBytes || (acl.size() - kAclHeaderBytes) % kAclEntryBytes != 0 ||
      littleEndian(acl, 0, 4) != kAclVersion) {
    return PosixChanger{PosixChanger::Who::kAclUnread, 0};
  }
  // Named entries grant only what the mask grants too; without a mask there
  // are none.
  bool maskWrites = false;
  for (std::size_t at = kAclHeaderBytes; at < acl.size(); at += kAclEntryBytes) {
    if (littleEndian(acl, at, 2) == kAclMask)
      maskWrites = (littleEndian(acl, at + 2, 2) & kAclWrite) != 0;
  }
  if (!maskWrites) return std::nullopt;
  for (std::size_t at = kAclHeaderBytes; at < acl.size(); at += kAclEntryBytes) {
    const std::uint32_t tag = littleEndian(acl, at, 2);
    const std::uint32_t id = littleEndian(acl, at + 4, 4);
    if ((tag != kAclUser && tag != kAclGroup) || id == 0 ||
        (littleEndian(acl, at + 2, 2) & kAclWrite) == 0) {
      continue;
    }
    return PosixChanger{
        tag == kAclUser ? PosixChanger::Who::kAclUser : PosixChanger::Who::kAclGroup, id};
  }
  return std::nullopt;
}

std::optional<PosixChanger> posixChanger(const PosixRights& rights) {
  if (rights.owner != 0) return PosixChanger{PosixChanger::Who::kOwner, rights.owner};
  if (rights.mode & kGroupWrite) return PosixChanger{PosixChanger::Who::kGroup, rights.group};
  if (rights.mode & kOthersWrite) return PosixChanger{PosixChanger::Who::kOthers, 0};
  if (!rights.acl.empty()) return aclWriter(rights.acl);
  return std::nullopt;
}

}  // namespace varnick::control
