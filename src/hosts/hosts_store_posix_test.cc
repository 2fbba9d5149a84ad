#include "hosts/hosts_store_posix.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "hosts/journal_file.h"
#include "hosts/session_append.h"
#include "hosts/take_out.h"

namespace varnick {
namespace {

// A hosts file in a folder of the test's, with its lock folder beside it.
// As root: journals are root's, and the store refuses any other's.
class PosixStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "the store's journals are root's";
    char base[] = "/tmp/varnick-store-XXXXXX";
    ASSERT_NE(::mkdtemp(base), nullptr);
    folder_ = base;
    places_ = {folder_ + "/hosts", folder_, folder_ + "/locks"};
    write("hosts", "127.0.0.1 localhost\n");
    store_ = makePosixHostsStore(places_);
  }
  void TearDown() override {
    if (!folder_.empty()) std::filesystem::remove_all(folder_);
  }

  void write(const std::string& name, const std::string& content) {
    std::ofstream(folder_ + "/" + name, std::ios::binary) << content;
  }
  std::string read(const std::string& name) {
    std::ostringstream content;
    content << std::ifstream(folder_ + "/" + name, std::ios::binary).rdbuf();
    return content.str();
  }
  bool exists(const std::string& name) {
    struct stat status {};
    return ::lstat((folder_ + "/" + name).c_str(), &status) == 0;
  }

  std::string folder_;
  HostsPlaces places_;
  std::unique_ptr<HostsStore> store_;
};

StoreFault faultOf(const StoreResult<OpenFile>& result) {
  return result ? StoreFault::kFailed : result.error().fault;
}

// Nothing the store opens or removes is reached through a link or a name
// outside its folder, and a journal that a process holds is told apart
// from one that is gone.
TEST_F(PosixStoreTest, RefusesLinksAndNamesOutsideItsFolder) {
  write("victim", "kept");
  ASSERT_EQ(::symlink((folder_ + "/victim").c_str(), (folder_ + "/link").c_str()), 0);
  struct Case {
    const char* name;
    std::uint32_t code;
  };
  for (const Case& c :
       {Case{"link", ELOOP}, Case{"../victim", EINVAL}, Case{"a/b", EINVAL}, Case{"..", EINVAL}}) {
    StoreResult<OpenFile> journal = store_->openJournal(c.name);
    ASSERT_FALSE(journal) << c.name;
    EXPECT_EQ(journal.error().code, c.code) << c.name;
    StoreResult<OpenFile> copy = store_->openToRead(c.name);
    ASSERT_FALSE(copy) << c.name;
    EXPECT_EQ(copy.error().code, c.code) << c.name;
    StoreResult<void> removed = store_->removeFile(c.name);
    ASSERT_FALSE(removed) << c.name;
    EXPECT_EQ(removed.error().code, c.code) << c.name;
  }
  EXPECT_FALSE(store_->createJournal("link")) << "made new: a link at the name is never followed";
  EXPECT_TRUE(exists("link"));
  EXPECT_EQ(read("victim"), "kept");

  StoreResult<OpenFile> held = store_->createJournal("j");
  ASSERT_TRUE(held);
  EXPECT_EQ(faultOf(store_->openJournal("j")), StoreFault::kHeld);
  ASSERT_TRUE((*held)->remove());
  EXPECT_EQ(faultOf(store_->openJournal("j")), StoreFault::kMissing);
}

// A new hosts file takes the old one's mode and is the hosts file after the
// swap; one made from a hosts file that changed since is refused as stale.
TEST_F(PosixStoreTest, SwapsInANewFileWithTheOldOnesMode) {
  ASSERT_EQ(::chmod(places_.hostsFile.c_str(), 0644), 0);
  StoreResult<OpenFile> hosts = store_->openHostsToRead();
  ASSERT_TRUE(hosts);
  StoreResult<std::string> stamp = (*hosts)->stamp();
  ASSERT_TRUE(stamp);
  StoreResult<OpenFile> next = store_->createReplacement(**hosts);
  ASSERT_TRUE(next);
  ASSERT_TRUE((*next)->append("::1 new\n"));
  StoreResult<std::string> identity = (*next)->identity();
  ASSERT_TRUE(identity);
  ASSERT_TRUE(store_->swapIn(**next));
  EXPECT_EQ(read("hosts"), "::1 new\n");
  EXPECT_EQ(*store_->hostsIdentity(), *identity);
  struct stat status {};
  ASSERT_EQ(::stat(places_.hostsFile.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0644u);
  EXPECT_TRUE((*next)->remove()) << "swapped in: its name is the hosts file's, never removed";
  EXPECT_TRUE(exists("hosts"));
  EXPECT_EQ(faultOf(store_->openHostsToRewrite(*stamp)), StoreFault::kStale);
}

// The engine over the real store: a session's lines go in journaled and
// come out again, and a journal left behind is recovered and removed.
TEST_F(PosixStoreTest, RunsTheEngineOnARealFolder) {
  JournalFile journal;
  ASSERT_TRUE(journal.create(*store_, "hosts.varnick-session-" + std::string(32, 'a') + ".journal",
                             "2026-12-08 09:00:00"));
  JournaledAppend added = appendJournaled(*store_, journal, "127.0.0.1 a.test");
  EXPECT_TRUE(added.appended);
  EXPECT_FALSE(appendJournaled(*store_, journal, "127.0.0.1 b.test\x1b[2J").appended)
      << "a control character is no line of a hosts file";
  EXPECT_EQ(read("hosts"), "127.0.0.1 localhost\n127.0.0.1 a.test\n");
  journal.close();  // as if the session were killed

  StoreResult<std::vector<std::string>> found = findSessionJournals(*store_);
  ASSERT_TRUE(found);
  ASSERT_EQ(found->size(), 1u);
  RecoveryResult recovered = recoverSession(*store_, found->front());
  EXPECT_TRUE(recovered.done);
  EXPECT_EQ(recovered.removal.removed, std::vector<std::string>{"127.0.0.1 a.test"});
  EXPECT_EQ(read("hosts"), "127.0.0.1 localhost\n");
  EXPECT_TRUE(findSessionJournals(*store_)->empty());
}

}  // namespace
}  // namespace varnick
