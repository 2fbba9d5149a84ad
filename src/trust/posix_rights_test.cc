#include "trust/posix_rights.h"

#include <gtest/gtest.h>

#include <vector>

namespace varnick::control {
namespace {

using Who = PosixChanger::Who;

struct AclEntry {
  std::uint16_t tag;
  std::uint16_t permissions;
  std::uint32_t id;
};

// An ACL as the kernel gives it: version 2, then the entries.
std::string acl(const std::vector<AclEntry>& entries, std::uint32_t version = 2) {
  std::string bytes;
  auto put = [&bytes](std::uint32_t value, int size) {
    for (int i = 0; i < size; ++i)
      bytes += static_cast<char>((value >> (8 * i)) & 0xFF);
  };
  put(version, 4);
  for (const AclEntry& entry : entries) {
    put(entry.tag, 2);
    put(entry.permissions, 2);
    put(entry.id, 4);
  }
  return bytes;
}

constexpr std::uint16_t kUserObj = 0x01, kUser = 0x02, kGroupObj = 0x04, kGroup = 0x08,
                        kMask = 0x10, kOther = 0x20;
constexpr std::uint32_t kNoId = 0xFFFFFFFF;

TEST(PosixRights, OnlyRootMayChange) {
  const AclEntry owner{kUserObj, 7, kNoId}, group{kGroupObj, 5, kNoId}, other{kOther, 5, kNoId};
  struct Case {
    const char* name;
    PosixRights rights;
    std::optional<PosixChanger> changer;
  };
  const Case cases[] = {
      {"root's, 0755", {0, 0, 0755, {}}, std::nullopt},
      {"root's, 0555", {0, 0, 0555, {}}, std::nullopt},
      {"a user's", {1000, 1000, 0755, {}}, PosixChanger{Who::kOwner, 1000}},
      {"group may write", {0, 50, 0775, {}}, PosixChanger{Who::kGroup, 50}},
      {"root's group may write", {0, 0, 0775, {}}, PosixChanger{Who::kGroup, 0}},
      {"anyone may write", {0, 0, 0757, {}}, PosixChanger{Who::kOthers, 0}},
      {"sticky and anyone may write", {0, 0, 01777, {}}, PosixChanger{Who::kGroup, 0}},
      {"set-gid, read only", {0, 50, 02755, {}}, std::nullopt},
      {"an ACL that lets a user write",
       {0, 0, 0755, acl({owner, {kUser, 7, 1000}, group, {kMask, 7, kNoId}, other})},
       PosixChanger{Who::kAclUser, 1000}},
      {"an ACL that lets a group write",
       {0, 0, 0755, acl({owner, group, {kGroup, 6, 100}, {kMask, 7, kNoId}, other})},
       PosixChanger{Who::kAclGroup, 100}},
      {"a mask that takes the write away",
       {0, 0, 0755, acl({owner, {kUser, 7, 1000}, group, {kMask, 5, kNoId}, other})},
       std::nullopt},
      {"named users that only read",
       {0, 0, 0755, acl({owner, {kUser, 5, 1000}, group, {kMask, 7, kNoId}, other})},
       std::nullopt},
      {"root named",
       {0, 0, 0755, acl({owner, {kUser, 7, 0}, group, {kMask, 7, kNoId}, other})},
       std::nullopt},
      {"an ACL of another version",
       {0, 0, 0755, acl({owner}, 3)},
       PosixChanger{Who::kAclUnread, 0}},
      {"a cut ACL", {0, 0, 0755, acl({owner}).substr(0, 9)}, PosixChanger{Who::kAclUnread, 0}},
  };
  for (const Case& c : cases)
    EXPECT_EQ(posixChanger(c.rights), c.changer) << c.name;
}

}  // namespace
}  // namespace varnick::control
