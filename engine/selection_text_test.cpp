#include "engine/selection_text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "engine/path_forms.h"
#include "settings/settings.h"
#include "testing/test_support.h"

namespace {

using kestrine_testing::MakeDirs;
using kestrine_testing::ScopedUser;
using kestrine_testing::WriteFile;

class SelectionTextTest : public ::testing::Test {
 protected:
  SelectionItem Item(const std::string& relative) {
    const std::string path = Path(relative);
    if (relative.ends_with("/")) {
      MakeDirs(path);
    } else {
      WriteFile(path, "x");
    }
    FSRef ref{};
    EXPECT_EQ(FSPathMakeRef(path, &ref), noErr);
    return ref;
  }
  std::string Path(const std::string& relative) const {
    std::string path = user_.home() + "/" + relative;
    if (path.ends_with("/")) path.pop_back();
    return path;
  }
  void Settings(std::string_view entries) {
    user_.WriteSettings(entries);
    CFPreferencesAppSynchronize(kKestrineDomain);
  }
  std::string Render(const SelectionItem& item, std::int32_t id) {
    char buffer[kCompositeRenderBufferSize];
    get_clipboard_data(*item, buffer, sizeof buffer, id);
    return buffer;
  }

  ScopedUser user_;
};

TEST_F(SelectionTextTest, SingleFormsJoinedByTheSeparator) {
  const std::vector<SelectionItem> items = {Item("a.txt"), Item("b.txt")};
  EXPECT_EQ(JoinSelectionText(items, kCopyPosixPath), Path("a.txt") + "\n" + Path("b.txt"));
  Settings("<key>MultipathSeparator</key><string>, </string>");
  EXPECT_EQ(JoinSelectionText(items, kCopyPosixPath), Path("a.txt") + ", " + Path("b.txt"));
  Settings("<key>MultipathSeparator</key><string></string>");
  EXPECT_EQ(JoinSelectionText(items, kCopyFilename), "a.txt\nb.txt");
  Settings("<key>MultipathSeparator</key><string>\\n</string>");
  EXPECT_EQ(JoinSelectionText(items, kCopyFilename), "a.txt\\nb.txt");
}

TEST_F(SelectionTextTest, PositionsCountEvenWhenNothingRenders) {
  EXPECT_EQ(JoinSelectionText({Item("noext"), Item("a.txt")}, kCopyExtension), "\ntxt");
  EXPECT_EQ(JoinSelectionText({Item("a.txt"), Item("noext")}, kCopyExtension), "txt");
  EXPECT_EQ(JoinSelectionText({std::nullopt, Item("b.txt"), Item("c.txt")}, kCopyFilename),
            "\nb.txt\nc.txt");
  EXPECT_EQ(JoinSelectionText({std::nullopt, std::nullopt}, kCopyFilename), "");
  EXPECT_EQ(JoinSelectionText({}, kCopyFilename), "");
  EXPECT_EQ(JoinSelectionText({Item("a.txt")}, 13), "");
}

TEST_F(SelectionTextTest, CopyAllBlockOfOneFile) {
  const SelectionItem item = Item("Plan.txt");
  std::string expected;
  for (const SingleForm& form : kSingleForms) {
    if (!expected.empty()) expected += "\n";
    expected += Render(item, form.commandID);
  }
  EXPECT_EQ(GetAllClipboardStrings(*item), expected);
  EXPECT_EQ(std::count(expected.begin(), expected.end(), '\n'), 9);
  // The UNC form is in "Copy All" although its key is absent.
  EXPECT_NE(expected.find(MakeUNCWindowsStyleText(Path("Plan.txt"))), std::string::npos);
}

TEST_F(SelectionTextTest, CopyAllLeavesOutOnlyAMissingExtension) {
  const SelectionItem noext = Item("noext");
  const std::string all = GetAllClipboardStrings(*noext).value();
  EXPECT_EQ(std::count(all.begin(), all.end(), '\n'), 8);
  EXPECT_EQ(all.find("\n\n"), std::string::npos);

  // A form that renders nothing keeps its place as an empty piece.
  const SelectionItem percent = Item("50% off");
  Settings("<key>IncludeTerminalPath</key><false/><key>IncludeHFSPath</key><false/>"
           "<key>IncludeFilename</key><false/><key>IncludeDisplayFilename</key><false/>"
           "<key>IncludeExtension</key><false/><key>IncludeUNCWindowsStyle</key><false/>"
           "<key>IncludeAFPURL</key><false/>");
  EXPECT_EQ(GetAllClipboardStrings(*percent), Path("50% off") + "\n\n~/50% off");
  Settings("<key>IncludeEncodedPosixPath</key><false/><key>IncludeTerminalPath</key><false/>"
           "<key>IncludeHFSPath</key><false/><key>IncludeFilename</key><false/>"
           "<key>IncludeDisplayFilename</key><false/><key>IncludeExtension</key><false/>"
           "<key>IncludeUNCWindowsStyle</key><false/><key>IncludeAFPURL</key><false/>");
  EXPECT_EQ(GetAllClipboardStrings(*percent), Path("50% off") + "\n~/50% off");
}

TEST_F(SelectionTextTest, BlocksAreJoinedByAnEmptyLineWhateverTheSeparator) {
  Settings("<key>MultipathSeparator</key><string>, </string>"
           "<key>IncludeEncodedPosixPath</key><false/><key>IncludeTildePosixPath</key><false/>"
           "<key>IncludeTerminalPath</key><false/><key>IncludeHFSPath</key><false/>"
           "<key>IncludeDisplayFilename</key><false/><key>IncludeExtension</key><false/>"
           "<key>IncludeUNCWindowsStyle</key><false/><key>IncludeAFPURL</key><false/>");
  const std::vector<SelectionItem> items = {Item("a.txt"), Item("b.txt")};
  EXPECT_EQ(JoinSelectionText(items, kCopyAll),
            Path("a.txt") + ", a.txt\n\n" + Path("b.txt") + ", b.txt");
}

TEST_F(SelectionTextTest, CopyAllWithEveryFormOffGivesEmptyBlocks) {
  std::string entries;
  for (const SingleForm& form : kSingleForms) {
    entries += "<key>" + std::string(form.enablingKey) + "</key><false/>";
  }
  Settings(entries);
  EXPECT_EQ(JoinSelectionText({Item("a"), Item("b")}, kCopyAll), "\n\n");
}

TEST_F(SelectionTextTest, FolderPathBlocks) {
  Item("one/sub/");
  Item("two/");
  const std::vector<SelectionItem> items = {Item("one/"), Item("two/")};
  EXPECT_EQ(JoinSelectionText(items, kCopyFolderPaths),
            Path("one") + "\n" + Path("one/sub") + "\n\n\n" + Path("two") + "\n");
}

}  // namespace
