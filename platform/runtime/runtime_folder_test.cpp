#include "platform/runtime/runtime_folder.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>

#include "testing/test_support.h"

namespace {

namespace fs = std::filesystem;

// The folder's permission bits and whether this user owns it; -1 when it is missing.
int PrivateMode(const std::string& path) {
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0 || info.st_uid != geteuid()) return -1;
  return static_cast<int>(info.st_mode & 07777);
}

// Without XDG_RUNTIME_DIR the folder lies below the home folder, where no
// other user can make it first; there too a link or a folder of another
// user is refused, and a missing home folder is not made.
TEST(RuntimeFolderTest, WithoutXdgRuntimeDirItIsAPrivateFolderInTheHomeFolder) {
  enum class Before { kNothing, kOtherUsers, kLink, kNoHome };
  const struct {
    const char* name;
    std::optional<std::string> runtime;  // XDG_RUNTIME_DIR, relative to the user's folder when not absolute.
    Before before;
    const char* path;  // Relative to the user's folder.
    OSStatus status;
  } cases[] = {
      {"unset", std::nullopt, Before::kNothing, "home/.cache/kestrine/run", noErr},
      {"relative", "run", Before::kNothing, "home/.cache/kestrine/run", noErr},
      {"set", "/run", Before::kNothing, "run/kestrine", noErr},
      {"another user's", std::nullopt, Before::kOtherUsers, "home/.cache/kestrine/run", afpAccessDenied},
      {"a link", std::nullopt, Before::kLink, "home/.cache/kestrine/run", afpAccessDenied},
      {"no home folder", std::nullopt, Before::kNoHome, "nohome/.cache/kestrine/run", fnfErr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    kestrine_testing::ScopedUser user;
    const std::string path = user.root() + "/" + c.path;
    std::optional<std::string> runtime = c.runtime;
    if (runtime && runtime->starts_with("/")) runtime = user.root() + *runtime;
    kestrine_testing::ScopedEnvironment environment;
    environment.Set("XDG_RUNTIME_DIR", runtime);
    if (c.before == Before::kOtherUsers) {
      kestrine_testing::MakeDirs(path);
      ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0) << "tests run as root";
    } else if (c.before == Before::kLink) {
      kestrine_testing::MakeDirs(user.root() + "/elsewhere");
      chmod((user.root() + "/elsewhere").c_str(), 0700);
      kestrine_testing::MakeDirs(user.home() + "/.cache/kestrine");
      fs::create_directory_symlink(user.root() + "/elsewhere", path);
    } else if (c.before == Before::kNoHome) {
      environment.Set("HOME", user.root() + "/nohome");
    }
    EXPECT_EQ(KestrineRuntimeFolderPath(), path);
    int fd = -1;
    EXPECT_EQ(OpenKestrineRuntimeFolder(&fd), c.status);
    if (fd >= 0) close(fd);
    if (c.status == noErr) {
      EXPECT_EQ(PrivateMode(path), 0700);
      if (!c.runtime || !c.runtime->starts_with("/")) {
        EXPECT_EQ(PrivateMode(user.home() + "/.cache"), 0700);
        EXPECT_EQ(PrivateMode(user.home() + "/.cache/kestrine"), 0700);
      }
    }
    EXPECT_FALSE(fs::exists(user.root() + "/nohome"));
  }
}

}  // namespace
