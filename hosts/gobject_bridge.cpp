#include "hosts/gobject_bridge.h"

#include <string>

namespace {

constexpr const char* kLogDomain = "Kestrine";
constexpr const char* kMenuKey = "kestrine-menu";
constexpr const char* kEntryKey = "kestrine-entry";
constexpr int kMaxDispatchesPerYield = 100;

void DeleteMenuReference(gpointer data) { delete static_cast<std::shared_ptr<HostMenu>*>(data); }

void MyActivate(GObject* item, gpointer /*userData*/) {
  auto* menu = static_cast<std::shared_ptr<HostMenu>*>(g_object_get_data(item, kMenuKey));
  auto* entry = static_cast<const HostMenuEntry*>(g_object_get_data(item, kEntryKey));
  if (menu == nullptr || entry == nullptr) return;
  // The handler may drop the file manager's last reference to the item.
  const std::shared_ptr<HostMenu> keep = *menu;
  try {
    keep->Activate(*entry);
  } catch (...) {
  }
}

void AttachMenu(GObject* item, const std::shared_ptr<HostMenu>& menu, const HostMenuEntry* entry) {
  g_object_set_data_full(item, kMenuKey, new std::shared_ptr<HostMenu>(menu), DeleteMenuReference);
  g_object_set_data(item, kEntryKey, const_cast<HostMenuEntry*>(entry));
}

struct Builder {
  const std::shared_ptr<HostMenu>& menu;
  const MenuItemFactory& factory;
  unsigned serial;
  unsigned next = 0;

  std::string NextName() {
    return "Kestrine-" + std::to_string(serial) + "-" + std::to_string(next++);
  }

  // New references to the items for `entries`, in order.
  std::vector<GObject*> Items(const std::vector<HostMenuEntry>& entries) {
    std::vector<GObject*> items;
    for (const HostMenuEntry& entry : entries) {
      GObject* item = nullptr;
      const std::string name = NextName();
      switch (entry.kind) {
        case HostMenuEntry::Kind::kSeparator:
          if (factory.newSeparator != nullptr) item = factory.newSeparator(name.c_str());
          break;
        case HostMenuEntry::Kind::kCommand:
          item = factory.newItem(name.c_str(), EscapeMenuMnemonics(entry.title).c_str());
          if (item != nullptr) {
            AttachMenu(item, menu, &entry);
            g_signal_connect(item, "activate", G_CALLBACK(MyActivate), nullptr);
          }
          break;
        case HostMenuEntry::Kind::kSubmenu: {
          std::vector<GObject*> children = Items(entry.submenu);
          if (children.empty()) break;
          item = factory.newItem(name.c_str(), EscapeMenuMnemonics(entry.title).c_str());
          GObject* submenu = factory.newMenu();
          for (GObject* child : children) {
            if (submenu != nullptr) factory.appendItem(submenu, child);
            g_object_unref(child);
          }
          if (item != nullptr && submenu != nullptr) {
            AttachMenu(item, menu, &entry);
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

}  // namespace

void LogModuleLoaded(const char* fileManager) {
  g_log(kLogDomain, G_LOG_LEVEL_DEBUG, "%s module loaded; plug-ins load on the first menu",
        fileManager);
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

GList* MakeMenuItems(const std::shared_ptr<HostMenu>& menu, const MenuItemFactory& factory) {
  static unsigned serial = 0;
  if (!menu) return nullptr;
  try {
    Builder builder{menu, factory, ++serial};
    GList* list = nullptr;
    for (GObject* item : builder.Items(menu->entries())) list = g_list_prepend(list, item);
    return g_list_reverse(list);
  } catch (...) {
    g_log(kLogDomain, G_LOG_LEVEL_MESSAGE, "the contextual menu could not be built");
    return nullptr;
  }
}
