#include "platform/xdg/xdg.h"

#include <gtest/gtest.h>

#include "testing/test_support.h"

namespace {

using kestrine_testing::ScopedEnvironment;
using Folders = std::vector<std::string>;

TEST(XdgTest, SingleFoldersAreTakenOnlyWhenAbsoluteExceptTheRuntimeFolderAsSet) {
  struct Case {
    std::optional<std::string> value;
    std::optional<std::string> absolute;
    std::optional<std::string> asSet;
  };
  const Case cases[] = {
      {std::nullopt, std::nullopt, std::nullopt},
      {"", std::nullopt, std::nullopt},
      {"relative/run", std::nullopt, "relative/run"},
      {"/run/user/7//", "/run/user/7//", "/run/user/7//"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value.value_or("(unset)"));
    ScopedEnvironment env;
    for (const char* name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_RUNTIME_DIR"}) {
      env.Set(name, c.value);
    }
    EXPECT_EQ(XdgConfigHome(), c.absolute);
    EXPECT_EQ(XdgDataHome(), c.absolute);
    EXPECT_EQ(XdgRuntimeDir(), c.absolute);
    EXPECT_EQ(XdgRuntimeDirAsSet(), c.asSet);
  }
}

TEST(XdgTest, FolderListsKeepTheirAbsoluteEntriesInOrderAndDefaultOnlyWhenUnsetOrEmpty) {
  struct Case {
    std::optional<std::string> value;
    Folders config;
    Folders data;
  };
  const Case cases[] = {
      {std::nullopt, {"/etc/xdg"}, {"/usr/local/share", "/usr/share"}},
      {"", {"/etc/xdg"}, {"/usr/local/share", "/usr/share"}},
      {"rel:", {}, {}},
      {"/b::rel:/a/:", {"/b", "/a/"}, {"/b", "/a/"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value.value_or("(unset)"));
    ScopedEnvironment env;
    env.Set("XDG_CONFIG_DIRS", c.value);
    env.Set("XDG_DATA_DIRS", c.value);
    EXPECT_EQ(XdgConfigDirs(), c.config);
    EXPECT_EQ(XdgDataDirs(), c.data);
  }
}

}  // namespace
