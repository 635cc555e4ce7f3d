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
  const std::pair<const char*, std::optional<std::int32_t>> cases[] = {
      {"Copy Posix Path", kCopyPosixPath}, {"Copy Encoded Posix Path", kCopyEncodedPosixPath},
      {"Copy Tilde Posix Path", kCopyTildePosixPath}, {"Copy Terminal Path", kCopyTerminalPath},
      {"Copy HFS Path", kCopyHFSPath}, {"Copy Filename", kCopyFilename},
      {"Copy Display Filename", kCopyDisplayFilename}, {"Copy Extension", kCopyExtension},
      {"Copy UNC Windows Style Path", kCopyUNCWindowsStylePath}, {"Copy AFP URL", kCopyAFPURL},
      {"Copy All Paths", kCopyAll}, {"Copy Folder Paths", kCopyFolderPaths},
      {"Copy All", std::nullopt}, {"copy posix path", std::nullopt}, {"Copy Posix Path ", std::nullopt}};
  for (const auto& [userData, id] : cases) EXPECT_EQ(CommandIDForUserData(userData), id) << userData;
}

TEST(ServiceEntriesTest, Quoting) {
  EXPECT_EQ(QuoteDesktopExecArgument("/opt/My Apps/K"), "\"/opt/My Apps/K\"");
  EXPECT_EQ(QuoteDesktopExecArgument("a\"b$c`d\\e"), "\"a\\\\\"b\\\\$c\\\\`d\\\\\\\\e\"");
}

TEST(ServiceEntriesTest, EveryFileManagerGetsEveryCommand) {
  ScopedUser user;
  const std::vector<ServiceEntryFile> files = ServiceEntryFiles("/opt/k/KestrineService");
  ASSERT_EQ(files.size(), 50u);
  const auto has = [&](const std::string& path) {
    return std::any_of(files.begin(), files.end(), [&](const ServiceEntryFile& f) { return f.path == path; });
  };
  for (std::string_view command : ServiceUserDataStrings()) {
    const std::string name(command);
    EXPECT_TRUE(has(user.root() + "/data/nautilus/scripts/Kestrine/" + name)) << name;
    EXPECT_TRUE(has(user.root() + "/config/caja/scripts/Kestrine/" + name)) << name;
    EXPECT_NE(files[0].content.find("Name=" + name + "\n"), std::string::npos) << name;
  }
  EXPECT_EQ(files[1].content,
            "#!/bin/sh\n# Kestrine: Copy All Paths of the selected items.\n"
            "exec '/opt/k/KestrineService' 'Copy All Paths' \"$@\"\n");
  EXPECT_TRUE(files[1].executable);
  EXPECT_EQ(files[36].path, user.root() + "/data/nemo/actions/kestrine-copy-afp-url.nemo_action");
  EXPECT_NE(files[36].content.find(
                "Exec=\"/opt/k/KestrineService\" \"Copy AFP URL\" %F\nIcon-Name=edit-copy\n"
                "Selection=notnone\nExtensions=any;\n"),
            std::string::npos);
  EXPECT_EQ(files[37].path, user.root() + "/data/file-manager/actions/kestrine.desktop");
  EXPECT_NE(files[37].content.find("Type=Menu\nName=Kestrine\nIcon=edit-copy\n"
                                   "ItemsList=kestrine-copy-all-paths;"),
            std::string::npos);
  EXPECT_EQ(files.back().content,
            "[Desktop Entry]\nType=Action\nName=Copy AFP URL\n"
            "Tooltip=Kestrine: Copy AFP URL of the selected items\nIcon=edit-copy\n"
            "Profiles=any;\n\n[X-Action-Profile any]\nName=Copy AFP URL\nMimeTypes=all/all;\n"
            "Exec=\"/opt/k/KestrineService\" \"Copy AFP URL\" %F\n");
}

TEST(ServiceEntriesTest, ThunarActionsMergeWithTheUsersOwn) {
  const std::string user =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<actions>\n<action>\n\t<icon>x</icon>\n"
      "\t<name>Mine &amp; yours</name>\n\t<unique-id>1700000000-1</unique-id>\n"
      "\t<command>echo %f</command>\n</action>\n</actions>\n";
  const std::optional<std::string> merged = MergeThunarCustomActions(user, "/opt/it's/K");
  ASSERT_TRUE(merged.has_value());
  // The user's action stands first, as it was; ours follow, one per command.
  EXPECT_EQ(merged->rfind(user.substr(0, user.size() - 11), 0), 0u);
  EXPECT_EQ(std::count(merged->begin(), merged->end(), '\n'), 9 + 12 * 16);
  EXPECT_NE(merged->find("\t<name>Copy Filename</name>\n\t<submenu>Kestrine</submenu>\n"
                         "\t<unique-id>kestrine-copy-filename</unique-id>\n"
                         "\t<command>&apos;/opt/it&apos;\\&apos;&apos;s/K&apos; "
                         "&apos;Copy Filename&apos; %F</command>\n"),
            std::string::npos);
  EXPECT_TRUE(merged->ends_with("</action>\n</actions>\n"));
  // Merging again, or for another location, replaces our actions only.
  EXPECT_EQ(MergeThunarCustomActions(*merged, "/opt/it's/K"), merged);
  const std::optional<std::string> moved = MergeThunarCustomActions(*merged, "/usr/bin/K");
  ASSERT_TRUE(moved.has_value());
  EXPECT_EQ(moved->find("/opt/it"), std::string::npos);
  EXPECT_EQ(MergeThunarCustomActions(*moved, "/opt/it's/K"), merged);
  EXPECT_EQ(MergeThunarCustomActions("<actions>", "/usr/bin/K"), std::nullopt);
  EXPECT_EQ(MergeThunarCustomActions("", "/usr/bin/K")->rfind("<?xml", 0), 0u);
}

TEST(ServiceEntriesTest, UpdateWritesOnlyWhatChanged) {
  ScopedUser user;
  const std::string uca = ThunarCustomActionsPath();
  kestrine_testing::WriteFile(uca, "<actions>\n</actions>\n");
  EXPECT_EQ(NSUpdateDynamicServices("/opt/k/KestrineService"), 51);
  EXPECT_EQ(ReadFile(uca + ".bak"), "<actions>\n</actions>\n");
  EXPECT_EQ(NSUpdateDynamicServices("/opt/k/KestrineService"), 0);
  const std::string script = user.root() + "/data/nautilus/scripts/Kestrine/Copy Filename";
  struct stat info {};
  ASSERT_EQ(::stat(script.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0755u);
  ::chmod(script.c_str(), 0644);
  EXPECT_EQ(NSUpdateDynamicServices("/opt/k/KestrineService"), 1);
  // A new location of the program rewrites every entry but the menu that
  // lists the actions, and Thunar's file.
  EXPECT_EQ(NSUpdateDynamicServices("/usr/bin/KestrineService"), 50);
  EXPECT_NE(ReadFile(uca + ".bak").value_or("").find("/opt/k/KestrineService"), std::string::npos);
  // A file Thunar could not read either is left alone.
  kestrine_testing::WriteFile(uca, "<actions");
  EXPECT_EQ(NSUpdateDynamicServices("/usr/bin/KestrineService"), 0);
  EXPECT_EQ(ReadFile(uca), "<actions");
  EXPECT_NE(ReadFile(script).value_or("").find("'/usr/bin/KestrineService'"), std::string::npos);
}

}  // namespace
