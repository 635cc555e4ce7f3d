#include "engine/menu_model.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <tuple>
#include <vector>

#include "engine/path_forms.h"
#include "engine/prefixes.h"
#include "settings/settings.h"
#include "testing/test_support.h"

namespace {

using kestrine_testing::ScopedUser;

// The menu as "-" for a separator, "ID" for a titled item and "ID:TITLE"
// for a preview.
std::string Describe(const MenuModel& menu) {
  std::string out;
  for (const MenuModelItem& item : menu) {
    if (!out.empty()) out += " ";
    out += item.separator() ? "-" : std::to_string(item.commandID) + (item.preview ? ":" + item.title : "");
  }
  return out;
}

// The menus both front-ends gave before they shared this builder.
TEST(MenuModelTest, ContextualAndStatusMenusOverTheSettings) {
  const ScopedUser user;
  const std::string path = user.home() + "/a b.txt";
  kestrine_testing::WriteFile(path, "x");
  FSRef ref{};
  ASSERT_EQ(FSPathMakeRef(path, &ref), noErr);
  const std::string previews = "<key>ShowClipboardInMenu</key><true/>";
  std::string formsOff;
  for (const char* key : {"IncludePosixPath", "IncludeEncodedPosixPath", "IncludeTildePosixPath", "IncludeTerminalPath",
                          "IncludeHFSPath", "IncludeFilename", "IncludeDisplayFilename", "IncludeAFPURL"}) {
    formsOff += "<key>" + std::string(key) + "</key><false/>";
  }
  const std::string slash = path.substr(0, path.rfind('/')) + "/a%20b.txt";
  const std::string pairs = " - 1000:P" + slash + " - 2000:P" + MakeUNCWindowsStyleText(slash) + " 1002:Q" + slash +
                            " - 2002:Q" + MakeUNCWindowsStyleText(slash);
  const std::string onlyExtension = formsOff + "<key>IncludeAll</key><false/><key>IncludeFolderPaths</key><false/>";
  struct Case {
    std::string settings;
    std::string submenu, flat, status;
  };
  for (const Case& c : std::vector<Case>{
           {"", "1 12 2 3 4 5 6 7 9 - 10 - 11", "1 12 2 3 4 5 6 7 9 10 11", "1 12 2 3 4 5 6 7 9 - 10 - 11"},
           {"<key>IncludeUNCWindowsStyle</key><true/>", "1 12 2 3 4 5 6 7 8 9 - 10 - 11",
            "1 12 2 3 4 5 6 7 8 9 10 11", "1 12 2 3 4 5 6 7 8 9 - 10 - 11"},
           // Only the tray lists the UNC preview of an absent key.
           {onlyExtension + previews, "7:txt", "7:txt", "7:txt 8:" + MakeUNCWindowsStyleText(path)},
           {onlyExtension + previews + "<key>IncludeUNCWindowsStyle</key><false/>", "7:txt", "7:txt", "7:txt"},
           {onlyExtension + previews + "<key>IncludeUNCWindowsStyle</key><true/><key>LabelItems</key><true/>",
            "7:Extension: txt 8:PC Path: " + MakeUNCWindowsStyleText(path),
            "7:Extension: txt 8:PC Path: " + MakeUNCWindowsStyleText(path),
            "7:Extension: txt 8:PC Path: " + MakeUNCWindowsStyleText(path)},
           // A key that is not a boolean counts as absent; an entry that is
           // not a text offers nothing, and the pairs are not set apart.
           {onlyExtension + "<key>IncludeExtension</key><integer>0</integer><key>IncludeAll</key><string>no</string>"
                            "<key>Prefixes</key><array><string>P</string><integer>1</integer><string>Q</string></array>",
            "7 - 10" + pairs, "7 10" + pairs, "7 - 10" + pairs},
       }) {
    SCOPED_TRACE(c.settings);
    user.WriteSettings(c.settings);
    CFPreferencesAppSynchronize(kKestrineDomain);
    LoadPrefixes();
    EXPECT_EQ(Describe(BuildMenuModel(ref, ContextualMenuRules(true))), c.submenu);
    EXPECT_EQ(Describe(BuildMenuModel(ref, ContextualMenuRules(false))), c.flat);
    EXPECT_EQ(Describe(BuildMenuModel(ref, kStatusMenuRules)), c.status);
  }
}

// Each prefix entry's IDs, and back, at the edges of their ranges.
TEST(MenuModelTest, PrefixFormIDs) {
  constexpr std::size_t kLastBackslash = INT32_MAX - kFirstBackslashPrefixID;
  for (const auto& [index, slash, id] : std::vector<std::tuple<std::size_t, bool, std::optional<std::int32_t>>>{
           {0, true, 1000}, {999, true, 1999}, {1000, true, std::nullopt}, {0, false, 2000}, {1000, false, 3000},
           {kLastBackslash, false, INT32_MAX}, {kLastBackslash + 1, false, std::nullopt}}) {
    SCOPED_TRACE(std::to_string(index) + (slash ? " slash" : " backslash"));
    EXPECT_EQ(PrefixFormCommandID(index, slash), id);
    if (!id) continue;
    const std::optional<PrefixFormID> form = PrefixFormOf(*id);
    ASSERT_TRUE(form);
    EXPECT_EQ(form->index, index);
    EXPECT_EQ(form->slash, slash);
  }
  for (const std::int32_t id : {-1, 0, 12, 999}) EXPECT_EQ(PrefixFormOf(id), std::nullopt) << id;
}

}  // namespace
