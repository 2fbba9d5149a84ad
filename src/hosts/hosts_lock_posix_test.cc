#include "hosts/hosts_lock_posix.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

namespace varnick {
namespace {

// A lock folder that another user could write, or reach through a link,
// would let that user hold or deny Varnick's locks: it is refused. As root.
TEST(HostsLockPosix, TakesItsLocksOnlyInAFolderOfRootsAlone) {
  char base[] = "/tmp/varnick-locks-XXXXXX";
  ASSERT_NE(::mkdtemp(base), nullptr);
  const std::string folder = std::string(base) + "/locks";
  {
    HostsLock made(folder, HostsLock::Kind::kWrite);
    EXPECT_EQ(made.take(0), 0u) << "a missing folder is made";
    struct stat status {};
    ASSERT_EQ(::lstat(folder.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0700u);
    HostsLock second(folder, HostsLock::Kind::kWrite);
    EXPECT_EQ(second.take(30), static_cast<Errno>(ETIMEDOUT)) << "held by the first";
    HostsLock shared(folder, HostsLock::Kind::kServing, HostsLock::Sharing::kShared);
    HostsLock beside(folder, HostsLock::Kind::kServing, HostsLock::Sharing::kShared);
    EXPECT_EQ(shared.take(0), 0u);
    EXPECT_EQ(beside.take(0), 0u) << "sessions share the serving lock";
  }
  HostsLock again(folder, HostsLock::Kind::kWrite);
  EXPECT_EQ(again.take(0), 0u) << "let go with its holder";

  const std::string link = std::string(base) + "/link";
  ASSERT_EQ(::symlink(folder.c_str(), link.c_str()), 0);
  ASSERT_EQ(::chmod(folder.c_str(), 0777), 0);
  const std::string plain = std::string(base) + "/plain";
  ASSERT_EQ(::close(::creat(plain.c_str(), 0600)), 0);
  for (const std::string& refused : {folder, link, plain}) {
    HostsLock lock(refused, HostsLock::Kind::kWrite);
    EXPECT_EQ(lock.take(0), static_cast<Errno>(EPERM)) << refused;
  }
  EXPECT_EQ(std::system(("rm -rf " + std::string(base)).c_str()), 0);
}

}  // namespace
}  // namespace varnick
