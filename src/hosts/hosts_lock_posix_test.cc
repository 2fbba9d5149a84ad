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
    EXPECT_EQ(errorCodeOf(made.take(0)), 0u) << "a missing folder is made";
    struct stat status {};
    ASSERT_EQ(::lstat(folder.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0700u);
    HostsLock second(folder, HostsLock::Kind::kWrite);
    EXPECT_EQ(errorCodeOf(second.take(30)), static_cast<Errno>(ETIMEDOUT)) << "held by the first";
    HostsLock shared(folder, HostsLock::Kind::kServing, HostsLock::Sharing::kShared);
    HostsLock beside(folder, HostsLock::Kind::kServing, HostsLock::Sharing::kShared);
    EXPECT_EQ(errorCodeOf(shared.take(0)), 0u);
    EXPECT_EQ(errorCodeOf(beside.take(0)), 0u) << "sessions share the serving lock";
  }
  HostsLock again(folder, HostsLock::Kind::kWrite);
  EXPECT_EQ(errorCodeOf(again.take(0)), 0u) << "let go with its holder";

  const std::string link = std::string(base) + "/link";
  ASSERT_EQ(::symlink(folder.c_str(), link.c_str()), 0);
  ASSERT_EQ(::chmod(folder.c_str(), 0777), 0);
  const std::string plain = std::string(base) + "/plain";
  ASSERT_EQ(::close(::creat(plain.c_str(), 0600)), 0);
  for (const std::string& refused : {folder, link, plain}) {
    HostsLock lock(refused, HostsLock::Kind::kWrite);
    EXPECT_EQ(errorCodeOf(lock.take(0)), static_cast<Errno>(EPERM)) << refused;
  }
  EXPECT_EQ(std::system(("rm -rf " + std::string(base)).c_str()), 0);
}

// A clean removes a lock file while it holds it: a half that opened the
// file before and takes it after must not think it holds the lock, or it
// and a half on the new file would both hold it. As root.
TEST(HostsLockPosix, ACleanRemovesOnlyUnheldFilesAndAWaiterTakesTheNewOne) {
  char base[] = "/tmp/varnick-locks-XXXXXX";
  ASSERT_NE(::mkdtemp(base), nullptr);
  const std::string folder = std::string(base) + "/locks";
  const std::string writeLock = folder + "/" + kWriteLockName;
  const std::string servingLock = folder + "/" + kServingLockName;
  {
    HostsLock serving(folder, HostsLock::Kind::kServing, HostsLock::Sharing::kShared);
    ASSERT_EQ(errorCodeOf(serving.take(0)), 0u);
    HostsLock waiter(folder, HostsLock::Kind::kWrite);
    {
      HostsLock holder(folder, HostsLock::Kind::kWrite);
      ASSERT_EQ(errorCodeOf(holder.take(0)), 0u);
      EXPECT_FALSE(waiter.tryTake()) << "held by the holder; the waiter has the file open";
    }
    int ran = 0;
    LockFolderClean clean = removeUnheldLockFiles(folder, [&ran] { ++ran; });
    ASSERT_EQ(clean.files.size(), 2u);
    EXPECT_EQ(clean.files[0].path, writeLock);
    EXPECT_EQ(clean.files[0].error, 0u);
    EXPECT_EQ(clean.files[1].path, servingLock);
    EXPECT_EQ(clean.files[1].error, static_cast<Errno>(EWOULDBLOCK)) << "a half serves";
    EXPECT_FALSE(clean.noneServed);
    EXPECT_EQ(ran, 0);
    EXPECT_NE(::access(writeLock.c_str(), F_OK), 0);
    EXPECT_EQ(errorCodeOf(waiter.take(100)), 0u);
    EXPECT_EQ(::access(writeLock.c_str(), F_OK), 0) << "the waiter holds a file by the name";
  }
  int ran = 0;
  LockFolderClean clean = removeUnheldLockFiles(folder, [&ran] { ++ran; });
  EXPECT_EQ(clean.files.size(), 2u);
  EXPECT_TRUE(clean.noneServed);
  EXPECT_EQ(ran, 1);
  EXPECT_NE(::access(folder.c_str(), F_OK), 0) << "the empty folder goes";
  EXPECT_TRUE(removeUnheldLockFiles(folder, nullptr).noneServed) << "a missing folder";
  EXPECT_EQ(std::system(("rm -rf " + std::string(base)).c_str()), 0);
}

}  // namespace
}  // namespace varnick
