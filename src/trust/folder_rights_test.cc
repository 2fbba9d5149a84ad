#include "trust/folder_rights.h"

#include <gtest/gtest.h>

namespace varnick::control {
namespace {

const std::string kAdmins = "S-1-5-32-544";
const std::string kSystem = "S-1-5-18";
const std::string kInstaller = "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
const std::string kUsers = "S-1-5-32-545";
const std::string kUser = "S-1-5-21-1-2-3-1001";
const std::string kCreatorOwner = "S-1-3-0";

constexpr std::uint32_t kFullAccess = 0x001F01FF;
constexpr std::uint32_t kReadExecute = 0x001200A9;

// As Program Files grants: administrators and SYSTEM change, users read and
// run, CREATOR OWNER only for what is made inside.
ObjectRights programFiles(const std::string& owner = kInstaller) {
  return {owner,
          true,
          {{true, kInstaller, kFullAccess, false},
           {true, kSystem, kFullAccess, false},
           {true, kAdmins, kFullAccess, false},
           {true, kUsers, kReadExecute, false},
           {true, kCreatorOwner, 0x10000000, true}}};
}

TEST(FolderRights, OnlyTheTrustedMayChange) {
  struct Case {
    const char* name;
    ObjectRights rights;
    std::optional<std::string> changer;
  };
  auto with = [](const AccessEntry& entry, const std::string& owner = kAdmins) {
    ObjectRights rights = programFiles(owner);
    rights.entries.push_back(entry);
    return rights;
  };
  const std::uint32_t kChangeEach[] = {0x2,     0x4,     0x40,       0x10000,
                                       0x40000, 0x80000, 0x10000000, 0x40000000};
  std::vector<Case> cases = {
      {"Program Files", programFiles(), std::nullopt},
      {"owned by Administrators", programFiles(kAdmins), std::nullopt},
      {"owned by SYSTEM", programFiles(kSystem), std::nullopt},
      {"owned by the user", programFiles(kUser), kUser},
      {"owned by OWNER RIGHTS", programFiles("S-1-3-4"), "S-1-3-4"},
      {"no DACL", {kAdmins, false, {}}, "S-1-1-0"},
      {"empty DACL", {kAdmins, true, {}}, std::nullopt},
      {"a user's profile", with({true, kUser, kFullAccess, false}), kUser},
      {"users may modify", with({true, kUsers, 0x001301BF, false}), kUsers},
      {"users read and run", with({true, kUsers, kReadExecute, false}), std::nullopt},
      {"a deny entry", with({false, kUser, kFullAccess, false}), std::nullopt},
      {"inherit only", with({true, kUser, kFullAccess, true}), std::nullopt},
      {"write attributes only", with({true, kUser, 0x100 | kReadExecute, false}), std::nullopt},
      {"OWNER RIGHTS under a trusted owner", with({true, "S-1-3-4", kFullAccess, false}),
       std::nullopt},
  };
  for (std::uint32_t right : kChangeEach)
    cases.push_back({"one change right", with({true, kUser, right, false}), kUser});
  for (const Case& c : cases)
    EXPECT_EQ(untrustedChanger(c.rights), c.changer) << c.name << " " << c.rights.entries.size();
}

}  // namespace
}  // namespace varnick::control
