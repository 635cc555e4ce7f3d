// The built Nautilus, Caja, Nemo and Thunar modules, loaded as their file
// managers load them (g_module_open, the module's initialize and list-types
// entry points), asked for menus for real files and activated.
#include <gio/gio.h>
#include <gmodule.h>
#include <gtest/gtest.h>
#include <libcaja-extension/caja-file-info.h>
#include <libcaja-extension/caja-menu-provider.h>
#include <libnemo-extension/nemo-file-info.h>
#include <libnemo-extension/nemo-menu-provider.h>
#include <nautilus-extension.h>

// Some of thunarx's headers declare their functions without C linkage.
extern "C" {
#include <thunarx/thunarx.h>
}

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "MoreAppleEvents/FinderSelection.h"
#include "MoreAppleEvents/MoreFinderEvents.h"
#include "hosts/module_host.h"
#include "testing/test_support.h"

namespace {

namespace fs = std::filesystem;

using kestrine_testing::MakeDirs;
using kestrine_testing::ScopedEnv;
using kestrine_testing::ScopedFinder;
using kestrine_testing::ScopedTempDir;
using kestrine_testing::ScopedUser;
using kestrine_testing::WriteFile;

// What differs between the file managers.
struct Host {
  const char* name;
  const char* module;
  // Loads the module: `name` names its entry points.
  GType (*load)(const std::string& path, const std::string& name, std::string* error);
  GList* (*fileItems)(GObject* provider, GList* files);
  GList* (*backgroundItems)(GObject* provider, GObject* folder);
  GList* (*submenuItems)(GObject* menu);
  bool separators;
  // Whether the file manager, when an item is chosen, asks for the menu
  // again for the same selection and activates the new item of the same
  // name, as Caja and Nemo do; Nautilus and Thunar activate the item itself.
  bool reasks;
  // Whether it asks the provider for the items of an empty selection;
  // Nemo's library does not, and Thunar asks for the folder's items instead.
  bool asksForNoSelection;
  // Whether its background items stay in the window's File menu while the
  // selection changes, as Caja's do, so that they act on what is selected.
  bool fileMenu;
};

const Host kHosts[] = {
    {"nautilus", KESTRINE_NAUTILUS_MODULE, LoadExtensionModule, NautilusFileItems,
     [](GObject* p, GObject* d) {
       return nautilus_menu_provider_get_background_items(NAUTILUS_MENU_PROVIDER(p), NAUTILUS_FILE_INFO(d));
     },
     NautilusSubmenuItems, false, false, true, false},
    {"caja", KESTRINE_CAJA_MODULE, LoadExtensionModule,
     [](GObject* p, GList* f) { return caja_menu_provider_get_file_items(CAJA_MENU_PROVIDER(p), nullptr, f); },
     [](GObject* p, GObject* d) {
       return caja_menu_provider_get_background_items(CAJA_MENU_PROVIDER(p), nullptr,
                                                      reinterpret_cast<CajaFileInfo*>(d));
     },
     [](GObject* m) { return caja_menu_get_items(CAJA_MENU(m)); }, false, true, true, true},
    {"nemo", KESTRINE_NEMO_MODULE, LoadExtensionModule,
     [](GObject* p, GList* f) { return nemo_menu_provider_get_file_items(NEMO_MENU_PROVIDER(p), nullptr, f); },
     [](GObject* p, GObject* d) {
       return nemo_menu_provider_get_background_items(NEMO_MENU_PROVIDER(p), nullptr, NEMO_FILE_INFO(d));
     },
     [](GObject* m) { return nemo_menu_get_items(NEMO_MENU(m)); }, true, true, false, false},
    {"thunar", KESTRINE_THUNAR_MODULE, [](const std::string& path, const std::string&, std::string* error) {
       return LoadThunarExtension(path, error);
     },
     // Thunar asks for the items of its window (a test has no display, and
     // the module asks nothing of it), and only with files selected.
     [](GObject* p, GList* f) {
       return f == nullptr ? nullptr
                           : THUNARX_MENU_PROVIDER_GET_IFACE(p)->get_file_menu_items(THUNARX_MENU_PROVIDER(p), nullptr, f);
     },
     [](GObject* p, GObject* d) {
       return THUNARX_MENU_PROVIDER_GET_IFACE(p)->get_folder_menu_items(THUNARX_MENU_PROVIDER(p), nullptr,
                                                                        THUNARX_FILE_INFO(d));
     },
     [](GObject* m) { return thunarx_menu_get_items(THUNARX_MENU(m)); }, false, false, false, false},
};

// A list of objects, such as menu items, each a reference of its own.
struct FreeObjects {
  void operator()(GList* objects) const { g_list_free_full(objects, g_object_unref); }
};
using ItemList = std::unique_ptr<GList, FreeObjects>;

// The items the file manager got, and what it asked them for.
struct Built {
  ItemList items;
  std::vector<std::string> uris;  // The selection, or the one folder.
  bool background = false;
};

// Names the host in test names and messages.
void PrintTo(const Host& host, std::ostream* out) { *out << host.name; }

// The plug-in folder every module loads from, shared by the whole run
// because a module loads its plug-ins once: a copy of the built bundle, a
// bundle without its Info.plist and a plain file.
const std::string& PlugInData() {
  static const ScopedTempDir* dir = [] {
    static const ScopedTempDir folders;
    const ScopedTempDir* d = &folders;
    const std::string folder = d->Join("Kestrine/Contextual Menu Items");
    MakeDirs(folder);
    fs::copy(KESTRINE_CM_BUNDLE, folder + "/KestrineCM.plugin", fs::copy_options::recursive);
    MakeDirs(folder + "/Broken.plugin/Contents");  // No Info.plist.
    WriteFile(folder + "/junk", "not a bundle");
    return d;
  }();
  return dir->path();
}

std::vector<std::string>& LogLines() {
  static std::vector<std::string> lines;
  return lines;
}

// The module's menu provider; the module is loaded on the first call.
GObject* Provider(const Host& host) {
  static std::map<std::string, GType> types;
  if (!types.count(host.name)) {
    g_log_set_handler("Kestrine", G_LOG_LEVEL_MASK,
                      [](const char*, GLogLevelFlags, const char* message, gpointer) {
                        LogLines().push_back(message);
                      },
                      nullptr);
    std::string error;
    types[host.name] = host.load(host.module, host.name, &error);
    EXPECT_NE(types[host.name], 0u) << error;
  }
  return types[host.name] == 0 ? nullptr : G_OBJECT(g_object_new(types[host.name], nullptr));
}

// The running Finder's selection as the menu-bar application reads it,
// asked again for up to five seconds until it is `expected`.
std::vector<std::string> FinderSelectionBecomes(const std::vector<std::string>& expected) {
  std::vector<std::string> paths;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  do {
    paths.clear();
    AEDescList list;
    long count = 0;
    if (MoreFEGetSelection(gAEIdleUPP, &list) == noErr && AECountItems(&list, &count) == noErr) {
      for (long i = 1; i <= count; ++i) {
        FSRef ref;
        char path[4096];
        if (GetSelectionItemFSRef(&list, i, &ref) == noErr && FSRefMakePath(ref, path, sizeof path) == noErr) {
          paths.emplace_back(path);
        }
      }
    }
    if (paths == expected) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  } while (std::chrono::steady_clock::now() < end);
  return paths;
}

class ExtensionModuleTest : public ::testing::TestWithParam<Host> {
 public:
  ExtensionModuleTest()
      : dataDirs_("XDG_DATA_DIRS", PlugInData()),
        prefixes_(PlugInData() +
                  "/Kestrine/Contextual Menu Items/KestrineCM.plugin/Contents/Resources/Prefixes.txt"),
        provider_(Provider(GetParam())) {
    fs::remove(prefixes_);
  }
  ~ExtensionModuleTest() override {
    if (provider_ != nullptr) g_object_unref(provider_);
  }
  void SetUp() override { ASSERT_NE(provider_, nullptr); }

  std::string Home(const std::string& name) const { return user_.home() + "/" + name; }
  std::string File(const std::string& name) { WriteFile(Home(name), "x"); return Home(name); }
  std::string Folder(const std::string& name) { MakeDirs(Home(name)); return Home(name); }
  // The items for files at `uris` (paths or URIs).
  Built Items(const std::vector<std::string>& uris) {
    GList* files = nullptr;
    for (const std::string& uri : uris) {
      files = g_list_append(files, NewTestFileInfo(g_file_new_for_commandline_arg(uri.c_str())));
    }
    return {ItemList(GetParam().fileItems(provider_, ItemList(files).get())), uris, false};
  }
  Built BackgroundItems(const std::string& folder) {
    ItemList info(g_list_append(nullptr, NewTestFileInfo(g_file_new_for_path(folder.c_str()))));
    return {ItemList(GetParam().backgroundItems(provider_, G_OBJECT(info->data))), {folder}, true};
  }
  // The outline of the items for files at `uris`.
  std::string Menu(const std::vector<std::string>& uris) { return Outline(Items(uris).items); }
  // One line per item: its label, " >" for a submenu, "-" for a separator;
  // submenu items indented. Puts the first item with each label in
  // `byLabel`, and each item under its name in `byName`.
  std::string Outline(const ItemList& items, std::map<std::string, GObject*>* byLabel = nullptr,
                      std::map<std::string, GObject*>* byName = nullptr, int depth = 0) {
    std::string text;
    for (GList* node = items.get(); node != nullptr; node = node->next) {
      GObject* item = G_OBJECT(node->data);
      gboolean separator = FALSE;
      if (g_object_class_find_property(G_OBJECT_GET_CLASS(item), "separator") != nullptr) {
        g_object_get(item, "separator", &separator, nullptr);
      }
      char* label = nullptr;
      char* name = nullptr;
      GObject* menu = nullptr;
      g_object_get(item, "label", &label, "name", &name, "menu", &menu, nullptr);
      text += std::string(static_cast<std::size_t>(depth) * 2, ' ');
      text += separator ? "-\n" : std::string(label) + (menu != nullptr ? " >\n" : "\n");
      if (byLabel != nullptr && label != nullptr) byLabel->emplace(label, item);
      if (byName != nullptr) {
        EXPECT_TRUE(byName->emplace(name, item).second) << "two items named " << name;
      }
      if (menu != nullptr) {
        text += Outline(ItemList(GetParam().submenuItems(menu)), byLabel, byName, depth + 1);
        g_object_unref(menu);
      }
      g_free(label);
      g_free(name);
    }
    return text;
  }
  std::string Outline(const Built& built) { return Outline(built.items); }
  // `outline` as this host shows it: without separators where it has none.
  std::string AsShown(const std::string& outline) {
    if (GetParam().separators) return outline;
    std::string shown, line;
    for (std::istringstream in(outline); std::getline(in, line);) {
      if (!line.ends_with('-') || line.find_first_not_of(' ') != line.size() - 1) shown += line + "\n";
    }
    return shown;
  }
  // The item titled `label`, in a submenu too; null when there is none.
  GObject* Find(const Built& built, const std::string& label) {
    std::map<std::string, GObject*> byLabel;
    Outline(built.items, &byLabel);
    return byLabel.count(label) ? byLabel[label] : nullptr;
  }
  static std::string Name(GObject* item) {
    char* name = nullptr;
    g_object_get(item, "name", &name, nullptr);
    std::string text = name != nullptr ? name : "";
    g_free(name);
    return text;
  }
  // Chooses `item` of `built` as the file manager does (see Host::reasks).
  // When the menu built again has no item of that name, nothing runs.
  void Choose(const Built& built, GObject* item) {
    if (!GetParam().reasks) {
      g_signal_emit_by_name(item, "activate");
      return;
    }
    const Built again = built.background ? BackgroundItems(built.uris.front()) : Items(built.uris);
    std::map<std::string, GObject*> byName;
    Outline(again.items, nullptr, &byName);
    if (const auto same = byName.find(Name(item)); same != byName.end()) {
      g_signal_emit_by_name(same->second, "activate");
    }
  }
  std::optional<std::string> Activate(const Built& built, const std::string& label) {
    GObject* item = Find(built, label);
    EXPECT_NE(item, nullptr) << label;
    if (item != nullptr) Choose(built, item);
    return user_.Clipboard();
  }

  ScopedUser user_;
  ScopedEnv dataDirs_;
  std::string prefixes_;
  GObject* provider_;
};

// How much the heap may grow over 1,000 menus of 100 files: a kept menu
// would take some 35 KB, its submenu's items some 6 KB.
constexpr long long kMaxGrowth = 1ll << 20;

constexpr const char* kDefaultMenu =
    "-\nKestrine >\n"
    "  Copy Posix Path\n  Copy Encoded Posix Path\n  Copy Tilde Posix Path\n  Copy Terminal Path\n"
    "  Copy HFS Path\n  Copy Filename\n  Copy Display Filename\n  Copy Extension\n  Copy AFP URL\n"
    "  -\n  Copy All\n  -\n  Copy Folder Paths\n";

// `text` with every `from` made `to`.
std::string Replaced(std::string text, char from, const std::string& to) {
  for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size()) {
    text.replace(at, 1, to);
  }
  return text;
}

TEST_P(ExtensionModuleTest, MenusForTheDefaultSettingsAndAFlatMenu) {
  EXPECT_EQ(Menu({File("a.txt")}), AsShown(kDefaultMenu));
  std::string flat = "<key>MakeAsSubmenu</key><false/>";
  for (const char* form : {"PosixPath", "EncodedPosixPath", "TildePosixPath", "TerminalPath", "HFSPath", "Filename",
                           "DisplayFilename", "AFPURL", "FolderPaths"}) {
    flat += std::string("<key>Include") + form + "</key><false/>";
  }
  user_.WriteSettings(flat);
  EXPECT_EQ(Menu({File("a.txt")}), AsShown("-\nCopy Extension\nCopy All\n-\n"));
}

TEST_P(ExtensionModuleTest, PreviewsAndPrefixesShowThePathLiterally) {
  user_.WriteSettings("<key>ShowClipboardInMenu</key><true/><key>IncludeAll</key><false/>"
                      "<key>IncludeFolderPaths</key><false/>");
  WriteFile(prefixes_, "smb://nas");
  const std::string path = File("a_b&c%d\te.txt");
  const std::string escaped = Replaced(path, '_', "__");  // GTK reads "_" as a mnemonic marker.
  const std::string home = escaped.substr(0, escaped.rfind('/'));
  const Built items = Items({path});
  EXPECT_EQ(Outline(items),
            AsShown("-\nKestrine >\n  " + escaped + "\n  ~/a__b&c%d\te.txt\n  " + escaped + "\n  Linux" +
                    Replaced(home, '/', ":") + ":a__b&c%d\te.txt\n  a__b&c%d\te.txt\n  a__b&c%d\te.txt\n"
                    "  txt\n  file:///\n  -\n  smb://nas" + home + "/a__b&c%25d%09e.txt\n  -\n"
                    "  smb://nas" + Replaced(home, '/', "\\") + "\\a__b&c%25d%09e.txt\n"));
  EXPECT_EQ(Activate(items, "~/a__b&c%d\te.txt"), "~/a_b&c%d\te.txt");
}

TEST_P(ExtensionModuleTest, ActivationCopiesEveryItemInTheFileManagersOrder) {
  const std::string b = File("b.txt"), a = File("a.txt");
  const Built items = Items({b, a});
  EXPECT_EQ(Activate(items, "Copy Posix Path"), b + "\n" + a);
  // A file that vanished since the menu was built renders nothing; where the
  // menu is built again, the first item decides it, and now it has none.
  fs::remove(b);
  EXPECT_EQ(Activate(items, "Copy Posix Path"), GetParam().reasks ? b + "\n" + a : "\n" + a);

  EXPECT_EQ(Activate(BackgroundItems(Folder("dir")), "Copy Filename"), "dir");
}

TEST_P(ExtensionModuleTest, ItemsKeepTheirNamesAndSelectionItemsNeverShareOneWithTheBackground) {
  const std::string a = File("a.txt"), b = File("b.txt");
  // Names stay the same for the same selection and command, menu after menu.
  std::map<std::string, GObject*> first, again;
  const Built one = Items({a}), two = Items({a});
  EXPECT_EQ(Outline(one.items, nullptr, &first), Outline(two.items, nullptr, &again));
  std::vector<std::string> names, namesAgain;
  for (const auto& [name, item] : first) names.push_back(name);
  for (const auto& [name, item] : again) namesAgain.push_back(name);
  EXPECT_EQ(names, namesAgain);

  // Caja's window holds the selection's items and the folder's background
  // items (its File menu) at once, and finds the chosen one by name.
  const Built background = BackgroundItems(user_.home()), files = Items({a, b});
  std::map<std::string, GObject*> fileNames, backgroundNames;
  Outline(files.items, nullptr, &fileNames);
  Outline(background.items, nullptr, &backgroundNames);
  for (const auto& [name, item] : fileNames) EXPECT_EQ(backgroundNames.count(name), 0u) << name;
  EXPECT_EQ(Activate(files, "Copy Posix Path"), a + "\n" + b);
  // Caja's File menu acts on what is selected in its folder, else on the
  // folder.
  EXPECT_EQ(Activate(background, "Copy Posix Path"), GetParam().fileMenu ? a + "\n" + b : user_.home());
  Items({Folder("dir/sub")});
  EXPECT_EQ(Activate(background, "Copy Posix Path"), user_.home());
  Items({});
  EXPECT_EQ(Activate(background, "Copy Posix Path"), user_.home());
}

TEST_P(ExtensionModuleTest, AThousandMenusWithTheSubmenuLeaveNoMemoryBehind) {
  std::vector<std::string> files;
  for (int i = 0; i < 100; ++i) files.push_back(File("f" + std::to_string(i)));
  // The file manager drops the items it got, as it does when the menu closed
  // without a choice; its own menu objects keep what they keep.
  for (int i = 0; i < 20; ++i) Items(files);
  const std::size_t before = kestrine_testing::LiveHeapBytes();
  for (int i = 0; i < 1000; ++i) Items(files);
  const std::size_t after = kestrine_testing::LiveHeapBytes();
  const long long grown = static_cast<long long>(after) - static_cast<long long>(before);
  std::printf("%s: the heap grew by %lld bytes over 1,000 menus\n", GetParam().name, grown);
  EXPECT_LT(grown, kMaxGrowth);
}

TEST_P(ExtensionModuleTest, ItemsWithoutALocalPathAndBrokenBundles) {
  const std::string a = File("a.txt");
  // The first item decides the menu; one without a path gives an empty
  // submenu, which is left out.
  for (const char* uri : {"sftp://host/x", "trash:///", "recent:///"}) {
    EXPECT_EQ(Menu({uri, a}), AsShown("-\n")) << uri;
  }
  // A name that is not UTF-8 still gets its menu; its paths render nothing.
  const Built items = Items({File("bad\xff.txt")});
  EXPECT_EQ(Outline(items), AsShown(kDefaultMenu));
  EXPECT_EQ(Activate(items, "Copy Posix Path"), std::nullopt);  // Cleared.
  EXPECT_EQ(Activate(Items({a, "sftp://host/x", a}), "Copy Filename"), "a.txt\na.txt");
  EXPECT_EQ(Menu({}), "");
  for (const char* name : {"Broken.plugin", "junk"}) {
    EXPECT_TRUE(std::any_of(LogLines().begin(), LogLines().end(),
                            [&](const std::string& line) { return line.find(name) != std::string::npos; }))
        << name;
  }
}

TEST_P(ExtensionModuleTest, LongCommandsLetTheMainLoopRunButStartNoOtherCommand) {
  const std::string top = Folder("tree");
  for (int i = 0; i < 25; ++i) Folder("tree/f" + std::to_string(i));
  const Built items = Items({top});
  bool ran = false;
  std::string nestedMenu;
  std::function<void()> during = [&] {
    ran = true;
    Activate(items, "Copy Filename");
    nestedMenu = Menu({user_.home()});
  };
  g_idle_add([](gpointer f) -> gboolean {
    (*static_cast<std::function<void()>*>(f))();
    return G_SOURCE_REMOVE;
  }, &during);
  const std::optional<std::string> copied = Activate(items, "Copy Folder Paths");
  EXPECT_TRUE(ran);
  EXPECT_EQ(nestedMenu, "");
  ASSERT_TRUE(copied.has_value());
  EXPECT_EQ(copied->rfind(top + "\n", 0), 0u) << *copied;
  EXPECT_EQ(std::count(copied->begin(), copied->end(), '\n'), 26);
  EXPECT_FALSE(g_main_context_pending(nullptr));  // Nothing is left waiting in the main loop.
}

TEST_P(ExtensionModuleTest, AThousandMenusComeAndGoAndTenThousandFilesCopy) {
  const std::string a = File("a.txt");
  for (int i = 0; i < 1000; ++i) Items({a});
  // The selection's size is the core's affair, the same for every module.
  if (std::string(GetParam().name) != "nautilus") return;
  std::vector<std::string> many;
  for (int i = 0; i < 10000; ++i) many.push_back(File("many/" + std::to_string(i)));
  const std::optional<std::string> copied = Activate(Items(many), "Copy Filename");
  ASSERT_TRUE(copied.has_value());
  EXPECT_EQ(std::count(copied->begin(), copied->end(), '\n'), 9999);
  EXPECT_TRUE(copied->ends_with("\n9999"));
}

TEST_P(ExtensionModuleTest, EachMenuTellsTheFinderItsLocalFilesWithoutWaitingForIt) {
  const std::string b = File("b.txt"), a = File("a_1.txt"), folder = Folder("dir");
  ScopedFinder finder(FINDER_PATH);
  ASSERT_TRUE(finder.ready());
  const std::string cleared = GetParam().asksForNoSelection ? user_.home() : a;
  // One menu update each, as Nautilus makes them: a selection build (of
  // `uris`, when `selection`), then the background build of `background`
  // (when not empty); and the Finder's selection after it.
  const struct {
    bool selection;
    std::vector<std::string> uris;
    std::string background;
    std::vector<std::string> finder;
  } cases[] = {
      {true, {b, a}, "", {b, a}},
      {true, {"sftp://host/x", a, "trash:///", b}, "", {a, b}},
      // Nothing local, or nothing that exists: the selection is kept.
      {true, {"sftp://host/x", "recent:///"}, "", {a, b}},
      {true, {Home("missing")}, "", {a, b}},
      // The background menu built beside a selection's tells nothing.
      {true, {folder}, user_.home(), {folder}},
      {true, {}, "", {folder}},
      {true, {a}, user_.home(), {a}},
      // A window opening on a folder, or a folder loading, tells nothing.
      {true, {}, folder, {a}},
      {false, {}, user_.home(), {a}},
      // A click on the background that clears the selection made in that
      // folder makes the folder the selection.
      {true, {}, user_.home(), {cleared}},
      {true, {}, user_.home(), {cleared}},
  };
  for (const auto& c : cases) {
    g_main_context_iteration(nullptr, FALSE);  // The file manager's next pass.
    if (c.selection) Items(c.uris);
    if (!c.background.empty()) BackgroundItems(c.background);
    EXPECT_EQ(FinderSelectionBecomes(c.finder), c.finder) << c.uris.size() << " " << c.background;
  }

  // A Finder that stopped reading does not hold the menus up, and takes the
  // last selection once it runs again.
  finder.Stop(SIGSTOP);
  for (int i = 0; i < 20; ++i) Items({a});
  // An event larger than the socket's buffer is cut short and dropped.
  if (std::string(GetParam().name) == "nautilus") {
    std::vector<std::string> many;
    for (int i = 0; i < 5000; ++i) many.push_back(File("many/" + std::to_string(i)));
    Items(many);
  }
  EXPECT_EQ(Menu({b}), AsShown(kDefaultMenu));
  finder.Stop(SIGCONT);
  EXPECT_EQ(FinderSelectionBecomes({b}), std::vector<std::string>{b});
}

INSTANTIATE_TEST_SUITE_P(FileManagers, ExtensionModuleTest, ::testing::ValuesIn(kHosts),
                         [](const ::testing::TestParamInfo<Host>& param) {
                           return std::string(param.param.name);
                         });

}  // namespace
