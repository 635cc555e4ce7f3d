// What the three file-manager extension modules share: the one plug-in host
// of the process, the selection read from GFile locations, and the turning
// of a built menu into the file manager's GObject menu items.
//
// Called from the file manager's main thread only. Nothing here throws.
#pragma once

#include <gio/gio.h>

#include <memory>
#include <vector>

#include "hosts/contextual_menu_host.h"

// The host of this process, made on the first call (the plug-ins load on its
// first menu). Its log lines go to the GLib log in the domain "Kestrine";
// its yield runs the pending events of the default main context.
ContextualMenuHost& SharedContextualMenuHost();

// Writes the debug line "<fileManager> module loaded; plug-ins load on the
// first menu" (shown with G_MESSAGES_DEBUG=Kestrine).
void LogModuleLoaded(const char* fileManager);

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

// The file manager's items for `menu` (transfer full: a new list of new
// references), labels escaped for GTK's mnemonics. Each item keeps the menu
// alive and runs its entry on "activate". A submenu left without items is
// left out. Null for none.
GList* MakeMenuItems(const std::shared_ptr<HostMenu>& menu, const MenuItemFactory& factory);
