#include "KestrineService/service_entries.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>

#include "KestrineService/AppController.h"
#include "engine/path_forms.h"
#include "testing/test_support.h"

namespace {

using kestrine_testing::ReadFile;
using kestrine_testing::ScopedUser;

TEST(ServiceCommandsTest, UserDataStringsMatchExactly) {
  EXPECT_EQ(ServiceUserDataStrings().size(), 12u);
  EXPECT_EQ(CommandIDForUserData("Copy All Paths"), kCopyAll);
  EXPECT_EQ(CommandIDForUserData("Copy Folder Paths"), kCopyFolderPaths);
  EXPECT_EQ(CommandIDForUserData("Copy Encoded Posix Path"), kCopyEncodedPosixPath);
  EXPECT_EQ(CommandIDForUserData("Copy AFP URL"), kCopyAFPURL);
  EXPECT_EQ(CommandIDForUserData("Copy All"), std::nullopt);
  EXPECT_EQ(CommandIDForUserData("copy posix path"), std::nullopt);
  EXPECT_EQ(CommandIDForUserData("Copy Posix Path "), std::nullopt);
}

TEST(ServiceEntriesTest, Quoting) {
  EXPECT_EQ(QuoteShellArgument("it's"), "'it'\\''s'");
  EXPECT_EQ(QuoteDesktopExecArgument("/opt/My Apps/K"), "\"/opt/My Apps/K\"");
  EXPECT_EQ(QuoteDesktopExecArgument("a\"b$c`d\\e"), "\"a\\\\\"b\\\\$c\\\\`d\\\\\\\\e\"");
}

TEST(ServiceEntriesTest, EveryFileManagerGetsEveryCommand) {
  ScopedUser user;
  const std::vector<ServiceEntryFile> files = ServiceEntryFiles("/opt/k/KestrineService");
  ASSERT_EQ(files.size(), 37u);
  for (std::string_view command : ServiceUserDataStrings()) {
    const std::string name(command);
    const auto has = [&](const std::string& path) {
      return std::any_of(files.begin(), files.end(),
                         [&](const ServiceEntryFile& f) { return f.path == path; });
    };
    EXPECT_TRUE(has(user.root() + "/data/nautilus/scripts/Kestrine/" + name)) << name;
    EXPECT_TRUE(has(user.root() + "/config/caja/scripts/Kestrine/" + name)) << name;
    EXPECT_NE(files[0].content.find("Name=" + name + "\n"), std::string::npos) << name;
  }
  EXPECT_EQ(files[1].content,
            "#!/bin/sh\n# Kestrine: Copy All Paths of the selected items.\n"
            "exec '/opt/k/KestrineService' 'Copy All Paths' \"$@\"\n");
  EXPECT_TRUE(files[1].executable);
  EXPECT_EQ(files.back().path,
            user.root() + "/data/nemo/actions/kestrine-copy-afp-url.nemo_action");
  EXPECT_NE(files.back().content.find(
                "Exec=\"/opt/k/KestrineService\" \"Copy AFP URL\" %F\nIcon-Name=edit-copy\n"
                "Selection=notnone\nExtensions=any;\n"),
            std::string::npos);
}

TEST(ServiceEntriesTest, UpdateWritesOnlyWhatChanged) {
  ScopedUser user;
  EXPECT_EQ(NSUpdateDynamicServices("/opt/k/KestrineService"), 37);
  EXPECT_EQ(NSUpdateDynamicServices("/opt/k/KestrineService"), 0);
  const std::string script = user.root() + "/data/nautilus/scripts/Kestrine/Copy Filename";
  struct stat info {};
  ASSERT_EQ(::stat(script.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0755u);
  ::chmod(script.c_str(), 0644);
  EXPECT_EQ(NSUpdateDynamicServices("/opt/k/KestrineService"), 1);
  // A new location of the program rewrites every entry.
  EXPECT_EQ(NSUpdateDynamicServices("/usr/bin/KestrineService"), 37);
  EXPECT_NE(ReadFile(script).value_or("").find("'/usr/bin/KestrineService'"), std::string::npos);
}

}  // namespace
