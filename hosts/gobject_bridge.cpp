#include "hosts/gobject_bridge.h"

#include <map>
#include <string>
#include <utility>

#include "platform/log/nslog.h"

namespace {

constexpr const char* kLogDomain = "Kestrine";
constexpr const char* kLinkKey = "kestrine-menu";
constexpr int kMaxDispatchesPerYield = 100;

// What an item knows of its menu: a top-level item owns a reference, an item
// inside a submenu only a weak one.
struct MenuLink {
  std::shared_ptr<HostMenu> owner;
  std::weak_ptr<HostMenu> menu;
  const HostMenuEntry* entry;
};

void DeleteMenuLink(gpointer data) { delete static_cast<MenuLink*>(data); }

void MyActivate(GObject* item, gpointer /*userData*/) {
  const auto* link = static_cast<const MenuLink*>(g_object_get_data(item, kLinkKey));
  if (link == nullptr) return;
  // The handler may drop the file manager's last reference to the item.
  const HostMenuEntry* entry = link->entry;
  const std::shared_ptr<HostMenu> menu = link->menu.lock();
  if (!menu) return;
  try {
    menu->Activate(*entry);
  } catch (...) {
  }
}

void AttachMenu(GObject* item, const std::shared_ptr<HostMenu>& menu, const HostMenuEntry* entry,
                bool owner) {
  g_object_set_data_full(item, kLinkKey, new MenuLink{owner ? menu : nullptr, menu, entry},
                         DeleteMenuLink);
}

// Whether the file manager's menu objects release their items when they go.
// Nemo's do; Nautilus 43's and Caja 1.26's keep a reference to each item for
// ever. Found out once per factory, with a menu of one item.
bool MenusReleaseTheirItems(const MenuItemFactory& factory) {
  static std::map<const MenuItemFactory*, bool> known;
  if (const auto found = known.find(&factory); found != known.end()) return found->second;
  GObject* menu = factory.newMenu();
  GObject* item = factory.newItem("Kestrine-Probe", "", factory.tooltip);
  bool released = true;
  if (menu != nullptr && item != nullptr) {
    factory.appendItem(menu, item);
    g_object_unref(menu);
    released = g_atomic_int_get(&item->ref_count) == 1;
    if (!released) g_object_unref(item);
  }
  if (menu != nullptr && item == nullptr) g_object_unref(menu);
  if (item != nullptr) g_object_unref(item);
  known[&factory] = released;
  return released;
}

// Drops, once a submenu object goes, the references to its items (a list
// of borrowed pointers) that it never drops itself.
void MyReleaseItems(gpointer items, GObject* /*menu*/) {
  g_list_free_full(static_cast<GList*>(items), g_object_unref);
}

struct Builder {
  const std::shared_ptr<HostMenu>& menu;
  const MenuItemFactory& factory;
  bool menusRelease;
  std::string prefix;  // "Kestrine-Selection-" or "Kestrine-Background-".
  unsigned submenus = 0;
  unsigned separators = 0;
  std::map<std::pair<std::size_t, std::int32_t>, unsigned> commands;

  std::string Name(const HostMenuEntry& entry) {
    switch (entry.kind) {
      case HostMenuEntry::Kind::kSeparator:
        return prefix + "Separator-" + std::to_string(separators++);
      case HostMenuEntry::Kind::kSubmenu:
        return prefix + "Submenu-" + std::to_string(submenus++);
      case HostMenuEntry::Kind::kCommand:
        break;
    }
    std::string name =
        prefix + std::to_string(entry.plugIn) + "-" + std::to_string(entry.commandID);
    // A plug-in that repeats a command ID still gets distinct names.
    if (const unsigned seen = commands[{entry.plugIn, entry.commandID}]++; seen > 0) {
      name += "-" + std::to_string(seen);
    }
    return name;
  }

  // New references to the items for `entries`, in order; `depth` 0 for the
  // top level.
  std::vector<GObject*> Items(const std::vector<HostMenuEntry>& entries, int depth) {
    std::vector<GObject*> items;
    for (const HostMenuEntry& entry : entries) {
      GObject* item = nullptr;
      const std::string name = Name(entry);
      switch (entry.kind) {
        case HostMenuEntry::Kind::kSeparator:
          if (factory.newSeparator != nullptr) item = factory.newSeparator(name.c_str());
          break;
        case HostMenuEntry::Kind::kCommand:
          item = factory.newItem(name.c_str(), EscapeMenuMnemonics(entry.title).c_str(), factory.tooltip);
          if (item != nullptr) {
            AttachMenu(item, menu, &entry, depth == 0);
            g_signal_connect(item, "activate", G_CALLBACK(MyActivate), nullptr);
          }
          break;
        case HostMenuEntry::Kind::kSubmenu: {
          std::vector<GObject*> children = Items(entry.submenu, depth + 1);
          if (children.empty()) break;
          item = factory.newItem(name.c_str(), EscapeMenuMnemonics(entry.title).c_str(), factory.tooltip);
          GObject* submenu = factory.newMenu();
          // The items whose reference the menu object will never drop.
          GList* kept = nullptr;
          for (GObject* child : children) {
            if (submenu != nullptr) {
              factory.appendItem(submenu, child);
              if (!menusRelease) kept = g_list_prepend(kept, child);
            }
            g_object_unref(child);
          }
          if (kept != nullptr) g_object_weak_ref(submenu, MyReleaseItems, kept);
          if (item != nullptr && submenu != nullptr) {
            AttachMenu(item, menu, &entry, depth == 0);
            factory.setSubmenu(item, submenu);
          }
          if (submenu != nullptr) g_object_unref(submenu);
          break;
        }
      }
      if (item != nullptr) items.push_back(item);
    }
    return items;
  }
};

// A source that never dispatches: its prepare, run at the start of every
// pass of the main context, counts the passes.
std::uint64_t gMenuUpdate = 0;

gboolean MyCountPass(GSource* /*source*/, gint* timeout) {
  ++gMenuUpdate;
  *timeout = -1;
  return FALSE;
}

}  // namespace

void LogModuleLoaded(const char* fileManager) {
  NSLog("Kestrine's %s module loaded; plug-ins load on the first menu", fileManager);
}

std::uint64_t CurrentMenuUpdate() {
  static const bool attached = [] {
    static GSourceFuncs funcs = {MyCountPass, nullptr, nullptr, nullptr, nullptr, nullptr};
    GSource* source = g_source_new(&funcs, sizeof(GSource));
    g_source_attach(source, nullptr);
    g_source_unref(source);
    return true;
  }();
  (void)attached;
  return gMenuUpdate;
}

void IterateDefaultMainContext() {
  GMainContext* context = g_main_context_default();
  if (!g_main_context_acquire(context)) return;
  for (int i = 0; i < kMaxDispatchesPerYield && g_main_context_iteration(context, FALSE); ++i) {
  }
  g_main_context_release(context);
}

ContextualMenuHost& SharedContextualMenuHost() {
  // Never destroyed: plug-in code stays loaded until the process ends.
  static auto* host = new ContextualMenuHost(
      [](const std::string& line) {
        g_log(kLogDomain, G_LOG_LEVEL_MESSAGE, "%s", line.c_str());
      },
      IterateDefaultMainContext);
  return *host;
}

std::vector<HostSelectionItem> SelectionFromLocations(const std::vector<GFile*>& locations) {
  std::vector<HostSelectionItem> selection;
  selection.reserve(locations.size());
  for (GFile* location : locations) {
    HostSelectionItem item;
    if (location != nullptr) {
      if (char* path = g_file_get_path(location)) {
        item.localPath = path;
        g_free(path);
      }
      if (char* uri = g_file_get_uri(location)) {
        item.uri = uri;
        g_free(uri);
      }
    }
    selection.push_back(std::move(item));
  }
  return selection;
}

GList* MakeMenuItems(const std::shared_ptr<HostMenu>& menu, HostMenuSource source,
                     const MenuItemFactory& factory) {
  if (!menu) return nullptr;
  try {
    Builder builder{menu, factory, MenusReleaseTheirItems(factory),
                    source == HostMenuSource::kSelection ? "Kestrine-Selection-"
                                                         : "Kestrine-Background-",
                    0, 0, {}};
    GList* list = nullptr;
    for (GObject* item : builder.Items(menu->entries(), 0)) list = g_list_prepend(list, item);
    return g_list_reverse(list);
  } catch (...) {
    g_log(kLogDomain, G_LOG_LEVEL_MESSAGE, "the contextual menu could not be built");
    return nullptr;
  }
}

namespace {

// Unrefs the locations it holds.
struct Locations {
  std::vector<GFile*> files;
  ~Locations() {
    for (GFile* file : files) {
      if (file != nullptr) g_object_unref(file);
    }
  }
};

}  // namespace

GList* MenuItemsForFiles(const FileManagerMenus& fileManager, GList* files, HostMenuSource source) {
  try {
    Locations locations;
    for (GList* node = files; node != nullptr; node = node->next) {
      GFile* location = fileManager.location(node->data);
      try {
        locations.files.push_back(location);
      } catch (...) {
        if (location != nullptr) g_object_unref(location);
        throw;
      }
    }
    return MakeMenuItems(SharedContextualMenuHost().BuildMenu(
                             SelectionFromLocations(locations.files), source, CurrentMenuUpdate()),
                         source, fileManager.factory);
  } catch (...) {
    return nullptr;
  }
}

GList* MenuItemsForFolder(const FileManagerMenus& fileManager, gpointer folder, HostMenuSource source) {
  GList files = {folder, nullptr, nullptr};
  return MenuItemsForFiles(fileManager, &files, source);
}

const GTypeInfo kMenuProviderTypeInfo = {
    sizeof(GObjectClass), nullptr, nullptr, nullptr, nullptr, nullptr, sizeof(GObject), 0, nullptr, nullptr};

GType RegisterMenuProvider(GTypeModule* module, const char* typeName, GType providerInterface,
                           GInterfaceInitFunc init, const char* fileManager) {
  const GType type = g_type_module_register_type(module, G_TYPE_OBJECT, typeName, &kMenuProviderTypeInfo,
                                                 static_cast<GTypeFlags>(0));
  const GInterfaceInfo provider = {init, nullptr, nullptr};
  g_type_module_add_interface(module, type, providerInterface, &provider);
  LogModuleLoaded(fileManager);
  return type;
}
