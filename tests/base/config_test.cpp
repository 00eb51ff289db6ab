// The private directory and its files: made when missing, and refused
// (never replaced by something shared) when it is a link, not a directory,
// open to others or someone else's; a folder in /tmp that another user made
// first gives way to one in the user's cache.
#include "base/config.h"

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
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
    // No fallback left in the real home by an earlier squat applies here.
    const char* home = getenv("HOME");
    if (home != nullptr) home_ = home;
    setenv("HOME", TestPath("home").c_str(), 1);
  }
  void TearDown() override {
    unsetenv("XDG_RUNTIME_DIR");
    setenv("HOME", home_.c_str(), 1);
  }

  // The error text of a PrivateDir call that must fail.
  static std::string Refusal() {
    std::string error;
    EXPECT_EQ(config::PrivateDir(&error), "");
    EXPECT_FALSE(error.empty());
    return error;
  }

  std::string runtime_;
  std::string dir_;
  std::string home_;
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

// Drops to the user args[0] (and the group of that number) for good, then
// reports what PrivateDir gives: the folder or "none", then the notice or
// the error.
ZEL_CHILD_COMMAND(private_dir_as) {
  auto uid = static_cast<uid_t>(std::stoul(args[0]));
  if (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0) return 3;
  std::string error;
  std::string notice;
  std::string dir = config::PrivateDir(&error, &notice);
  child::Report(dir.empty() ? "none" : dir);
  child::Report(dir.empty() ? error : notice);
  return 0;
}

// A user whose folder in /tmp another user (kSquatter) made first. Tests
// that may run at the same time each play a user of their own (the
// platform's attack test plays 65533), so that none removes or squats
// another's folder.
class SquattedTmpTest : public ::testing::Test {
 protected:
  explicit SquattedTmpTest(uid_t user) : user_(user), tmp_("/tmp/zel-" + std::to_string(user)) {}

  static constexpr uid_t kSquatter = 65534;

  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "only root can act as two other users";
    char home[] = "/tmp/zelhome.XXXXXX";
    ASSERT_NE(mkdtemp(home), nullptr);
    home_ = home;
    ASSERT_EQ(chown(home, user_, user_), 0);
    Squat();
  }
  void TearDown() override {
    std::error_code ignored;
    if (!home_.empty()) std::filesystem::remove_all(home_, ignored);
    std::filesystem::remove_all(tmp_, ignored);
  }

  void Squat() {
    ASSERT_EQ(mkdir(tmp_.c_str(), 0700), 0);
    ASSERT_EQ(chown(tmp_.c_str(), kSquatter, kSquatter), 0);
  }

  // The two lines of private_dir_as run as the user with HOME `home` and
  // XDG_CACHE_HOME `cache`.
  std::pair<std::string, std::string> PrivateDirOfUser(const std::string& home,
                                                       const std::string& cache = "") {
    ChildProcess child =
        ChildProcess::Start("private_dir_as", {std::to_string(user_)},
                            {{"HOME", home}, {"XDG_RUNTIME_DIR", ""}, {"XDG_CACHE_HOME", cache}});
    std::string dir = child.ReadLine().value_or("");
    std::string text = child.ReadLine().value_or("");
    EXPECT_EQ(child.Wait(), 0);
    return {dir, text};
  }

  uid_t user_;
  std::string tmp_;
  std::string home_;
};

class SquattedTmpWithAHome : public SquattedTmpTest {
 protected:
  SquattedTmpWithAHome() : SquattedTmpTest(65532) {}
};

class SquattedTmpWithoutAHome : public SquattedTmpTest {
 protected:
  SquattedTmpWithoutAHome() : SquattedTmpTest(65531) {}
};

TEST_F(SquattedTmpWithAHome, TheUsersCacheTakesItsPlaceAndKeepsItWhenTheSquatterGoes) {
  std::string fallback = home_ + "/.cache/zel/run";
  auto [dir, notice] = PrivateDirOfUser(home_);
  EXPECT_EQ(dir, fallback);
  EXPECT_NE(notice.find(tmp_ + " belongs to uid 65534"), std::string::npos) << notice;
  EXPECT_NE(notice.find("another user may have made it first"), std::string::npos) << notice;
  struct stat status {};
  ASSERT_EQ(lstat(fallback.c_str(), &status), 0);
  EXPECT_EQ(status.st_uid, user_);
  EXPECT_EQ(status.st_mode & 0777, 0700u);

  // Processes that start later must not split off into /tmp.
  ASSERT_EQ(rmdir(tmp_.c_str()), 0);
  std::tie(dir, notice) = PrivateDirOfUser(home_);
  EXPECT_EQ(dir, fallback);
  EXPECT_NE(notice.find("made when " + tmp_ + " was refused"), std::string::npos) << notice;
  EXPECT_FALSE(std::filesystem::exists(tmp_));

  Squat();
  std::string cache = home_ + "/cache";
  EXPECT_EQ(PrivateDirOfUser(home_, cache).first, cache + "/zel/run");
}

TEST_F(SquattedTmpWithoutAHome, WithoutAUsableFallbackTheErrorGivesBothReasons) {
  auto [dir, error] = PrivateDirOfUser("/nonexistent/home");
  EXPECT_EQ(dir, "none");
  EXPECT_NE(error.find(tmp_ + " belongs to uid 65534"), std::string::npos) << error;
  EXPECT_NE(error.find("the fallback failed too"), std::string::npos) << error;
  EXPECT_NE(error.find("/nonexistent"), std::string::npos) << error;
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
