// What the three file-manager extension modules share: the one plug-in host
// of the process, the selection read from GFile locations, and the turning
// of a built menu into the file manager's GObject menu items.
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
  GObject* (*newItem)(const char* name, const char* label);
  // Null when the file manager's interface has no separators: they are
  // left out.
  GObject* (*newSeparator)(const char* name);
  GObject* (*newMenu)();
  void (*appendItem)(GObject* menu, GObject* item);
  void (*setSubmenu)(GObject* item, GObject* menu);
};

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
