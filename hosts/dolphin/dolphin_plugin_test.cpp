// The built Dolphin module, loaded as Dolphin loads it: KIO's
// KFileItemActions finds it by its metadata below QT_PLUGIN_PATH, makes it
// through its plug-in factory and adds its actions to the contextual menu of
// real files; the actions are triggered as a click does.
#include <KFileItem>
#include <KFileItemActions>
#include <KFileItemListProperties>
#include <QAction>
#include <QApplication>
#include <QFile>
#include <QMenu>
#include <QTimer>
#include <QUrl>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "testing/test_support.h"

// Under LeakSanitizer: fontconfig keeps its caches, and Qt 5's offscreen
// platform its screens, until the process ends.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\nleak:libqoffscreen.so\n";
}

namespace {

namespace fs = std::filesystem;

using kestrine_testing::MakeDirs;
using kestrine_testing::ScopedEnv;
using kestrine_testing::ScopedTempDir;
using kestrine_testing::ScopedUser;
using kestrine_testing::WriteFile;

// The folders the whole run shares, since the module loads the plug-ins
// once: "qt5plugins/kf5/kfileitemaction" holds a copy of the module, and
// "Kestrine/Contextual Menu Items" a copy of the bundle.
const ScopedTempDir& Data() {
  static const ScopedTempDir dir;
  static const bool filled = [] {
    MakeDirs(dir.Join("qt5plugins/kf5/kfileitemaction"));
    fs::copy(KESTRINE_DOLPHIN_MODULE, dir.Join("qt5plugins/kf5/kfileitemaction/kestrine-dolphin.so"));
    MakeDirs(dir.Join("Kestrine/Contextual Menu Items"));
    fs::copy(KESTRINE_CM_BUNDLE, dir.Join("Kestrine/Contextual Menu Items/KestrineCM.plugin"),
             fs::copy_options::recursive);
    return true;
  }();
  (void)filled;
  return dir;
}

// Dolphin's application object, made once, without a display.
void StartApplication() {
  static QApplication* app = [] {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::setenv("QT_PLUGIN_PATH", Data().Join("qt5plugins").c_str(), 1);
    static int argc = 1;
    static char name[] = "dolphin_plugin_test";
    static char* argv[] = {name, nullptr};
    return new QApplication(argc, argv);
  }();
  (void)app;
}

// One line per action: its text, " >" after a submenu's, "-" for a
// separator; a submenu's actions indented below it.
std::string Outline(const QMenu& menu, int depth = 0) {
  std::string text;
  for (const QAction* action : menu.actions()) {
    text += std::string(static_cast<std::size_t>(depth) * 2, ' ');
    if (action->isSeparator()) {
      text += "-\n";
    } else if (action->menu() != nullptr) {
      text += action->text().toStdString() + " >\n" + Outline(*action->menu(), depth + 1);
    } else {
      text += action->text().toStdString() + "\n";
    }
  }
  return text;
}

QAction* Find(const QMenu& menu, const QString& text) {
  for (QAction* action : menu.actions()) {
    if (action->text() == text && action->menu() == nullptr) return action;
    if (action->menu() != nullptr) {
      if (QAction* found = Find(*action->menu(), text)) return found;
    }
  }
  return nullptr;
}

class DolphinModuleTest : public ::testing::Test {
 protected:
  // The system's data folders hold the MIME types that KIO matches the
  // module's metadata against.
  DolphinModuleTest() : dataDirs_("XDG_DATA_DIRS", Data().path() + ":/usr/share") {
    StartApplication();
    fs::remove(prefixes_);
  }

  std::string Home(const std::string& name) const { return user_.home() + "/" + name; }
  std::string File(const std::string& name) {
    WriteFile(Home(name), "x");
    return Home(name);
  }

  // The contextual menu Dolphin shows for the files at `paths` (or URLs), with the
  // plug-ins' actions only; the KFileItemActions that made it goes with it.
  // Without `parentWidget` the plug-ins get no parent for their actions.
  std::unique_ptr<QMenu> Menu(const std::vector<std::string>& paths, bool parentWidget = true) {
    KFileItemList items;
    for (const std::string& path : paths) {
      const QString name = QFile::decodeName(path.c_str());
      items.append(KFileItem(path.starts_with('/') ? QUrl::fromLocalFile(name) : QUrl(name)));
    }
    auto menu = std::make_unique<QMenu>();
    auto* actions = new KFileItemActions(menu.get());
    if (parentWidget) actions->setParentWidget(menu.get());
    actions->setItemListProperties(KFileItemListProperties(items));
    QList<QAction*> none;
    actions->addActionsTo(menu.get(), KFileItemActions::MenuActionSource::Plugins, none);
    return menu;
  }
  std::string MenuText(const std::vector<std::string>& paths) { return Outline(*Menu(paths)); }
  // Triggers the action with `text` in `menu`, and returns the clipboard.
  std::optional<std::string> Activate(const QMenu& menu, const std::string& text) {
    QAction* action = Find(menu, QString::fromStdString(text));
    EXPECT_NE(action, nullptr) << text;
    if (action != nullptr) action->trigger();
    return user_.Clipboard();
  }

  ScopedUser user_;
  ScopedEnv dataDirs_;
  std::string prefixes_ =
      Data().Join("Kestrine/Contextual Menu Items/KestrineCM.plugin/Contents/Resources/Prefixes.txt");
};

constexpr const char* kDefaultMenu =
    "-\nKestrine >\n"
    "  Copy Posix Path\n  Copy Encoded Posix Path\n  Copy Tilde Posix Path\n  Copy Terminal Path\n"
    "  Copy HFS Path\n  Copy Filename\n  Copy Display Filename\n  Copy Extension\n  Copy AFP URL\n"
    "  -\n  Copy All\n  -\n  Copy Folder Paths\n";

TEST_F(DolphinModuleTest, ShownWithoutSettingsForFilesAndFoldersUnlessTurnedOff) {
  MakeDirs(Home("dir"));
  WriteFile(Home("empty"), "");
  ASSERT_EQ(::mkfifo(Home("fifo").c_str(), 0600), 0);
  fs::create_symlink(Home("nowhere"), Home("broken"));
  // Every kind of item; a link that leads nowhere is an item whose target
  // is missing, so its submenu is left out.
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{File("a.txt")}, kDefaultMenu}, {{File("b.png"), Home("dir")}, kDefaultMenu},
      {{Home("empty")}, kDefaultMenu}, {{Home("fifo")}, kDefaultMenu},
      {{"/dev/null"}, kDefaultMenu},   {{Home("broken")}, "-\n"}};
  for (const auto& [items, menu] : cases) {
    SCOPED_TRACE(items.front());
    EXPECT_EQ(MenuText(items), menu);
  }
  // Dolphin's "Context Menu" settings page turns plug-ins off by their id.
  WriteFile(user_.root() + "/config/kservicemenurc", "[Show]\nkestrine-dolphin=false\n");
  EXPECT_EQ(MenuText({Home("a.txt")}), "");
}

TEST_F(DolphinModuleTest, FlatMenuAndActivationInDolphinsOrder) {
  std::string flat = "<key>MakeAsSubmenu</key><false/>";
  for (const char* form : {"PosixPath", "EncodedPosixPath", "TildePosixPath", "TerminalPath", "HFSPath",
                           "DisplayFilename", "AFPURL", "FolderPaths", "All"}) {
    flat += std::string("<key>Include") + form + "</key><false/>";
  }
  user_.WriteSettings(flat);
  const std::string b = File("b.txt"), a = File("a.txt");
  const std::unique_ptr<QMenu> menu = Menu({b, a});
  EXPECT_EQ(Outline(*menu), "-\nCopy Filename\nCopy Extension\n-\n");  // Qt hides the last "-".
  EXPECT_EQ(Activate(*menu, "Copy Filename"), "b.txt\na.txt");
  EXPECT_EQ(Activate(*Menu({Home("")}), "Copy Filename"), "home");
  EXPECT_EQ(Activate(*Menu({a}, false), "Copy Filename"), "a.txt");
}

TEST_F(DolphinModuleTest, OddNamesShowLiterallyAndCopyAsTheyAre) {
  user_.WriteSettings("<key>ShowClipboardInMenu</key><true/><key>IncludeAll</key><false/>"
                      "<key>IncludeFolderPaths</key><false/><key>IncludeHFSPath</key><false/>"
                      "<key>IncludeAFPURL</key><false/><key>IncludeEncodedPosixPath</key><false/>");
  WriteFile(prefixes_, "smb://nas");
  const std::string home = user_.home();
  std::string backslashed = home;
  std::replace(backslashed.begin(), backslashed.end(), '/', '\\');
  // Qt reads "&" as a mnemonic marker and the text after a tab as a
  // shortcut; "_" means nothing to it.
  const struct {
    std::string name;
    std::string shown;     // The name as the menu shows it.
    std::string terminal;  // Its "Copy Terminal Path" form, as shown.
    std::string prefixed;  // The name behind the prefix, as shown.
    std::string escaped;   // The name behind the prefix.
  } cases[] = {
      {"Q3 Report & Plan_v2.txt", "Q3 Report && Plan_v2.txt", "Q3\\ Report\\ &&\\ Plan_v2.txt",
       "Q3%20Report%20&&%20Plan_v2.txt", "Q3%20Report%20&%20Plan_v2.txt"},
      {"a\tb%c.txt", "a b%c.txt", "a b%c.txt", "a%09b%25c.txt", "a%09b%25c.txt"},
      {"new\nline.txt", "new\nline.txt", "new\nline.txt", "new%0Aline.txt", "new%0Aline.txt"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::unique_ptr<QMenu> menu = Menu({File(c.name)});
    EXPECT_EQ(Outline(*menu), "-\nKestrine >\n  " + home + "/" + c.shown + "\n  ~/" + c.shown + "\n  " +
                                  home + "/" + c.terminal + "\n  " + c.shown + "\n  " + c.shown + "\n  txt\n"
                                  "  -\n  smb://nas" + home + "/" + c.prefixed + "\n  -\n  smb://nas" +
                                  backslashed + "\\" + c.prefixed + "\n");
    EXPECT_EQ(Activate(*menu, "~/" + c.shown), "~/" + c.name);
    EXPECT_EQ(Activate(*menu, "smb://nas" + home + "/" + c.prefixed), "smb://nas" + home + "/" + c.escaped);
  }
}

TEST_F(DolphinModuleTest, NamesThatAreNotUTF8AndItemsWithoutALocalPath) {
  const std::string a = File("a.txt");
  // Dolphin reads a name that is not UTF-8 with U+FFFD in place of the bad
  // byte, so the item it passes does not exist: the first item decides the
  // menu, and its submenu is left out.
  const std::string bad = File("bad\xff.txt");
  EXPECT_EQ(MenuText({bad}), "-\n");
  EXPECT_EQ(Activate(*Menu({a, bad, a}), "Copy Filename"), "a.txt\na.txt");
  for (const char* url : {"sftp://host/x", "trash:/"}) {
    SCOPED_TRACE(url);
    EXPECT_EQ(MenuText({url, a}), "-\n");
    EXPECT_EQ(Activate(*Menu({a, url}), "Copy Filename"), "a.txt");
  }
}

TEST_F(DolphinModuleTest, LongCommandsLetDolphinRunAndSurviveTheMenuGoing) {
  const std::string top = Home("tree");
  for (int i = 0; i < 25; ++i) MakeDirs(top + "/f" + std::to_string(i));
  std::unique_ptr<QMenu> menu = Menu({top});
  QAction* folderPaths = Find(*menu, "Copy Folder Paths");
  ASSERT_NE(folderPaths, nullptr);
  // While the command runs, Dolphin handles its events: another command is
  // refused, a menu asked for is empty, and the menu closes and goes.
  bool ran = false;
  std::string nestedMenu = "unset";
  QTimer::singleShot(0, [&] {
    ran = true;
    Find(*menu, "Copy Filename")->trigger();
    nestedMenu = MenuText({top});
    menu.reset();
  });
  folderPaths->trigger();
  EXPECT_TRUE(ran);
  EXPECT_EQ(nestedMenu, "");
  const std::optional<std::string> copied = user_.Clipboard();
  ASSERT_TRUE(copied.has_value());
  EXPECT_EQ(copied->rfind(top + "\n", 0), 0u) << *copied;
  EXPECT_EQ(std::count(copied->begin(), copied->end(), '\n'), 26);
}

TEST_F(DolphinModuleTest, AThousandMenusLeaveNoMemoryBehind) {
  std::vector<std::string> files;
  for (int i = 0; i < 20; ++i) files.push_back(File("f" + std::to_string(i)));
  // Every other menu gives the plug-in no parent widget: its actions then
  // go with the plug-in.
  for (int i = 0; i < 20; ++i) Menu(files, i % 2 == 0);
  const std::size_t before = kestrine_testing::LiveHeapBytes();
  for (int i = 0; i < 1000; ++i) Menu(files, i % 2 == 0);
  const long long grown =
      static_cast<long long>(kestrine_testing::LiveHeapBytes()) - static_cast<long long>(before);
  // A menu kept would take some 10 KB.
  std::printf("the heap grew by %lld bytes over 1,000 menus\n", grown);
  EXPECT_LT(grown, 1ll << 20);
}

}  // namespace
