#include "engine/selection_text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "engine/path_forms.h"
#include "platform/files/files_test_support.h"
#include "settings/settings.h"
#include "testing/test_support.h"

namespace {

using kestrine_testing::ScopedUser;

// Settings that turn off every single form but those with the keys `kept`.
std::string OnlyForms(std::initializer_list<std::string_view> kept) {
  std::string entries;
  for (const SingleForm& form : kSingleForms) {
    if (std::ranges::find(kept, form.enablingKey) == kept.end()) {
      entries += "<key>" + std::string(form.enablingKey) + "</key><false/>";
    }
  }
  return entries;
}

class SelectionTextTest : public ::testing::Test {
 protected:
  // The item `relative` below the home folder, made as a folder when it ends
  // with "/", else as a file; none for "".
  SelectionItem Item(const std::string& relative) {
    if (relative.empty()) return std::nullopt;
    const std::string path = Path(relative);
    relative.ends_with("/") ? kestrine_testing::MakeDirs(path) : kestrine_testing::WriteFile(path, "x");
    return files_testing::RefOf(path);
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

  ScopedUser user_;
};

TEST_F(SelectionTextTest, CommandsOverSeveralItems) {
  const std::string comma = "<key>MultipathSeparator</key><string>, </string>";
  Item("one/sub/");
  struct Case {
    std::string settings;
    std::vector<std::string> items;  // "" is an item that cannot be had.
    std::int32_t id;
    std::string expected;
  };
  for (const Case& c : std::vector<Case>{
           {"", {"a.txt", "b.txt"}, kCopyPosixPath, Path("a.txt") + "\n" + Path("b.txt")},
           {comma, {"a.txt", "b.txt"}, kCopyPosixPath, Path("a.txt") + ", " + Path("b.txt")},
           // Positions count even when nothing renders.
           {"", {"noext", "a.txt"}, kCopyExtension, "\ntxt"},
           {"", {"a.txt", "noext"}, kCopyExtension, "txt"},
           {"", {"", "b.txt", "c.txt"}, kCopyFilename, "\nb.txt\nc.txt"},
           {"", {"", ""}, kCopyFilename, ""},
           {"", {}, kCopyFilename, ""},
           // Blocks are joined by an empty line whatever the separator.
           {comma + OnlyForms({"IncludePosixPath", "IncludeFilename"}), {"a.txt", "b.txt"}, kCopyAll,
            Path("a.txt") + ", a.txt\n\n" + Path("b.txt") + ", b.txt"},
           {OnlyForms({}), {"a", "b"}, kCopyAll, "\n\n"},
           {"", {"one/", "two/"}, kCopyFolderPaths,
            Path("one") + "\n" + Path("one/sub") + "\n\n\n" + Path("two") + "\n"},
       }) {
    SCOPED_TRACE(c.settings + " / " + std::to_string(c.id));
    Settings(c.settings);
    std::vector<SelectionItem> items;
    for (const std::string& name : c.items) items.push_back(Item(name));
    EXPECT_EQ(JoinSelectionText(items, c.id), c.expected);
  }
}

TEST_F(SelectionTextTest, CopyAllOfOneItem) {
  const SelectionItem item = Item("Plan.txt");
  std::string expected;
  for (const SingleForm& form : kSingleForms) {
    char buffer[kCompositeRenderBufferSize];
    get_clipboard_data(*item, buffer, sizeof buffer, form.commandID);
    expected += (expected.empty() ? "" : "\n") + std::string(buffer);
  }
  EXPECT_EQ(GetAllClipboardStrings(*item), expected);
  EXPECT_EQ(std::ranges::count(expected, '\n'), 9);
  // The UNC form is in "Copy All" although its key is absent.
  EXPECT_NE(expected.find(MakeUNCWindowsStyleText(Path("Plan.txt"))), std::string::npos);

  // Only a missing extension is left out; a form that renders nothing keeps
  // its place as an empty piece.
  const std::string all = GetAllClipboardStrings(*Item("noext")).value();
  EXPECT_EQ(std::ranges::count(all, '\n'), 8);
  EXPECT_EQ(all.find("\n\n"), std::string::npos);
  const SelectionItem percent = Item("50% off");
  Settings(OnlyForms({"IncludePosixPath", "IncludeEncodedPosixPath", "IncludeTildePosixPath"}));
  EXPECT_EQ(GetAllClipboardStrings(*percent), Path("50% off") + "\n\n~/50% off");
  Settings(OnlyForms({"IncludePosixPath", "IncludeTildePosixPath"}));
  EXPECT_EQ(GetAllClipboardStrings(*percent), Path("50% off") + "\n~/50% off");
}

}  // namespace
