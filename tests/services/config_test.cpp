// The private directory and its files: made when missing, and refused
// (never replaced by something shared) when it is a link, not a directory,
// open to others or someone else's.
#include "services/config.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "tests/harness/zel_test.h"

namespace zel::test {
namespace {

class PrivateDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    runtime_ = TestPath("runtime");
    ASSERT_EQ(mkdir(runtime_.c_str(), 0700), 0);
    setenv("XDG_RUNTIME_DIR", runtime_.c_str(), 1);
    dir_ = runtime_ + "/zel";
  }
  void TearDown() override { unsetenv("XDG_RUNTIME_DIR"); }

  // The error text of a PrivateDir call that must fail.
  static std::string Refusal() {
    std::string error;
    EXPECT_EQ(config::PrivateDir(&error), "");
    EXPECT_FALSE(error.empty());
    return error;
  }

  std::string runtime_;
  std::string dir_;
};

TEST_F(PrivateDirTest, IsMadeWithMode0700EvenUnderAWideUmaskAndFoundAgain) {
  mode_t old_mask = umask(0);
  std::string error;
  EXPECT_EQ(config::PrivateDir(&error), dir_) << error;
  umask(old_mask);
  struct stat status {};
  ASSERT_EQ(lstat(dir_.c_str(), &status), 0);
  EXPECT_TRUE(S_ISDIR(status.st_mode));
  EXPECT_EQ(status.st_mode & 0777, 0700u);
  EXPECT_EQ(status.st_uid, geteuid());
  EXPECT_EQ(config::PrivateDir(nullptr), dir_);
}

TEST_F(PrivateDirTest, WithoutXdgRuntimeDirItIsTheUsersFolderInTmp) {
  unsetenv("XDG_RUNTIME_DIR");
  std::string error;
  EXPECT_EQ(config::PrivateDir(&error), "/tmp/zel-" + std::to_string(geteuid())) << error;
}

TEST_F(PrivateDirTest, AFolderOpenToOthersIsRefusedAndLeftAsItIs) {
  ASSERT_EQ(mkdir(dir_.c_str(), 0700), 0);
  ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
  std::string error = Refusal();
  EXPECT_NE(error.find(dir_), std::string::npos) << error;
  EXPECT_NE(error.find("mode 0755"), std::string::npos) << error;
  struct stat status {};
  ASSERT_EQ(stat(dir_.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0755u);
}

TEST_F(PrivateDirTest, ASymbolicLinkIsRefusedEvenToAPrivateFolder) {
  std::string target = TestPath("elsewhere");
  ASSERT_EQ(mkdir(target.c_str(), 0700), 0);
  ASSERT_EQ(symlink(target.c_str(), dir_.c_str()), 0);
  EXPECT_NE(Refusal().find("symbolic link"), std::string::npos);
}

TEST_F(PrivateDirTest, AFileInItsPlaceIsRefused) {
  ASSERT_TRUE(config::WritePrivateFile(dir_, "x", nullptr));
  EXPECT_NE(Refusal().find("not a directory"), std::string::npos);
}

TEST_F(PrivateDirTest, AnotherUsersFolderIsRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "only root can give a folder to another user";
  ASSERT_EQ(mkdir(dir_.c_str(), 0700), 0);
  ASSERT_EQ(chown(dir_.c_str(), 65534, 65534), 0);
  EXPECT_NE(Refusal().find("belongs to uid 65534"), std::string::npos);
}

TEST_F(PrivateDirTest, PrivateFilesAreWrittenWholeForTheOwnerAndReadOnlyIfStillPrivate) {
  std::string error;
  std::string dir = config::PrivateDir(&error);
  ASSERT_FALSE(dir.empty()) << error;
  std::string path = dir + "/token";
  std::string text;
  EXPECT_EQ(config::ReadPrivateFile(path, &text, &error), config::PrivateRead::kMissing);
  mode_t old_mask = umask(0);
  ASSERT_TRUE(config::WritePrivateFile(path, "first\n", &error)) << error;
  ASSERT_TRUE(config::WritePrivateFile(path, "second\n", &error)) << error;
  umask(old_mask);
  struct stat status {};
  ASSERT_EQ(lstat(path.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);
  ASSERT_EQ(config::ReadPrivateFile(path, &text, &error), config::PrivateRead::kRead) << error;
  EXPECT_EQ(text, "second\n");

  ASSERT_EQ(chmod(path.c_str(), 0640), 0);
  EXPECT_EQ(config::ReadPrivateFile(path, &text, &error), config::PrivateRead::kRefused);
  EXPECT_NE(error.find("open to group or others"), std::string::npos) << error;
  ASSERT_EQ(chmod(path.c_str(), 0600), 0);

  std::string link = dir + "/link";
  ASSERT_EQ(symlink(path.c_str(), link.c_str()), 0);
  EXPECT_EQ(config::ReadPrivateFile(link, &text, &error), config::PrivateRead::kRefused);
  EXPECT_NE(error.find("symbolic link"), std::string::npos) << error;
  // Writing replaces the link; the file it named stays as it was.
  ASSERT_TRUE(config::WritePrivateFile(link, "third\n", &error)) << error;
  ASSERT_EQ(config::ReadPrivateFile(path, &text, &error), config::PrivateRead::kRead);
  EXPECT_EQ(text, "second\n");

  if (geteuid() == 0) {
    ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
    EXPECT_EQ(config::ReadPrivateFile(path, &text, &error), config::PrivateRead::kRefused);
    EXPECT_NE(error.find("belongs to uid 65534"), std::string::npos) << error;
  }
}

}  // namespace
}  // namespace zel::test
