// What the file-manager extension modules share: the one plug-in host of the
// process, the selection read from the file manager's file-info objects, the
// turning of a built menu into the file manager's GObject menu items, and the
// menu provider's type. A module holds only what its file manager's interface
// names differently.
//
// Called from the file manager's main thread only. Nothing here throws.
#pragma once

#include <gio/gio.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "hosts/contextual_menu_host.h"

// The host of this process, made on the first call (the plug-ins load on its
// first menu). Its log lines go to the GLib log in the domain "Kestrine";
// its yield runs the pending events of the default main context.
ContextualMenuHost& SharedContextualMenuHost();

// Writes the line "Kestrine's <fileManager> module loaded; plug-ins load on
// the first menu" to the log (standard error, the session's journal).
void LogModuleLoaded(const char* fileManager);

// The number of the file manager's current menu update: it changes with
// every pass of the default main context, so the menus a file manager builds
// in one go share it.
std::uint64_t CurrentMenuUpdate();

// Runs the default main context's pending events without waiting, at most
// 100 of them, unless another thread owns the context.
void IterateDefaultMainContext();

// The selection for `locations` (may hold nulls), in their order.
std::vector<HostSelectionItem> SelectionFromLocations(const std::vector<GFile*>& locations);

// How one file manager makes its menu objects. Every function returns a new
// reference; the append and submenu functions add their own references.
struct MenuItemFactory {
  // What `newItem` passes as the item's tooltip.
  const char* tooltip;
  GObject* (*newItem)(const char* name, const char* label, const char* tooltip);
  // Null when the file manager's interface has no separators: they are
  // left out.
  GObject* (*newSeparator)(const char* name);
  GObject* (*newMenu)();
  void (*appendItem)(GObject* menu, GObject* item);
  void (*setSubmenu)(GObject* item, GObject* menu);
};

// Stands for a pointer of whatever object type a file manager's function
// takes, for the calls below that pass GObjects on.
struct AnyObject {
  gpointer object;
  template <typename T>
  operator T*() const {
    return static_cast<T*>(object);
  }
};

// The factory of a file manager whose functions are `newItem` (name, label,
// tooltip, icon), `newMenu`, `appendItem` (menu, item) and `setSubmenu`
// (item, menu). Items get no icon.
template <auto newItem, auto newMenu, auto appendItem, auto setSubmenu>
constexpr MenuItemFactory MenuItemFactoryOf(const char* tooltip,
                                            GObject* (*newSeparator)(const char*) = nullptr) {
  return {tooltip,
          [](const char* name, const char* label, const char* tip) {
            return G_OBJECT(newItem(name, label, tip, nullptr));
          },
          newSeparator,
          [] { return G_OBJECT(newMenu()); },
          [](GObject* menu, GObject* item) { appendItem(AnyObject{menu}, AnyObject{item}); },
          [](GObject* item, GObject* menu) { setSubmenu(AnyObject{item}, AnyObject{menu}); }};
}

// One file manager's side of the menus: how it makes menu objects, and the
// location of one of its file-info objects (a new reference; null when the
// object is not one).
struct FileManagerMenus {
  MenuItemFactory factory;
  GFile* (*location)(gpointer fileInfo);
};

// The location of `fileInfo` when it is an instance of `infoType()`, through
// `getLocation`; null otherwise.
template <auto infoType, auto getLocation>
GFile* LocationOf(gpointer fileInfo) {
  return G_TYPE_CHECK_INSTANCE_TYPE(fileInfo, infoType()) ? getLocation(AnyObject{fileInfo}) : nullptr;
}

// The items for the file-info objects `files`, in their order, built for
// `source` by the shared host in the current menu update (see
// MakeMenuItems); null when there are none or they could not be built.
GList* MenuItemsForFiles(const FileManagerMenus& fileManager, GList* files, HostMenuSource source);

// The items for one file-info object, `folder`.
GList* MenuItemsForFolder(const FileManagerMenus& fileManager, gpointer folder, HostMenuSource source);

// A file manager's menu provider functions, for its interface's slots: the
// items for the selected `files`, and the items for one `folder` built for
// `source`. Each takes the provider, and the window where the file manager
// passes one, and leaves both alone.
template <const FileManagerMenus& fileManager, typename Provider>
GList* SelectionItems(Provider* /*provider*/, GList* files) {
  return MenuItemsForFiles(fileManager, files, HostMenuSource::kSelection);
}
template <const FileManagerMenus& fileManager, typename Provider, typename Window>
GList* SelectionItems(Provider* /*provider*/, Window* /*window*/, GList* files) {
  return MenuItemsForFiles(fileManager, files, HostMenuSource::kSelection);
}
template <const FileManagerMenus& fileManager, HostMenuSource source, typename Provider, typename FileInfo>
GList* FolderItems(Provider* /*provider*/, FileInfo* folder) {
  return MenuItemsForFolder(fileManager, folder, source);
}
template <const FileManagerMenus& fileManager, HostMenuSource source, typename Provider, typename Window,
          typename FileInfo>
GList* FolderItems(Provider* /*provider*/, Window* /*window*/, FileInfo* folder) {
  return MenuItemsForFolder(fileManager, folder, source);
}

// Registers the menu provider type `typeName` (a plain GObject) in `module`
// with the file manager's provider interface `providerInterface`, filled in
// by `init`, and logs that `fileManager`'s module loaded (LogModuleLoaded).
GType RegisterMenuProvider(GTypeModule* module, const char* typeName, GType providerInterface,
                           GInterfaceInitFunc init, const char* fileManager);

// The type information of a menu provider: a GObject with nothing of its own.
extern const GTypeInfo kMenuProviderTypeInfo;

// The file manager's items for `menu`, built for `source` (transfer full: a
// new list of new references), labels escaped for GTK's mnemonics. Each item
// runs its entry on "activate". A submenu left without items is left out.
// Null for none.
//
// Item names depend only on `source`, the plug-in and the entry's command
// (or its place, for submenus and separators), so the menus built again for
// the same selection name their items alike: Caja and Nemo build the menu
// again when an item is chosen and activate the new item of the same name.
// Selection and background items never share a name, since Caja's File menu
// holds both.
//
// The top-level items keep the menu alive; items inside a submenu reach it
// only while one of them does. Nautilus's and Caja's menu objects never
// release their items, so a submenu's items are released here when the
// submenu object goes.
GList* MakeMenuItems(const std::shared_ptr<HostMenu>& menu, HostMenuSource source,
                     const MenuItemFactory& factory);
