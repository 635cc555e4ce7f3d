// A stand-in for the file managers' side of extension modules, for tests and
// benchmarks: file-info objects and the loading of a module as Nautilus,
// Caja and Nemo load theirs.
#pragma once

#include <gio/gio.h>

#include <string>

// A new object that implements NautilusFileInfo, CajaFileInfo and
// NemoFileInfo for `location` (taken over): it answers get_location and
// get_uri, all that the modules ask.
GObject* NewTestFileInfo(GFile* location);

// Loads the module at `path` as its file manager does: g_module_open, then
// "<prefix>_module_initialize" with a type module, then
// "<prefix>_module_list_types". Returns the one type it lists, or 0 with
// the reason in `error`. The module stays loaded.
GType LoadExtensionModule(const std::string& path, const std::string& prefix,
                          std::string* error);

// Nautilus's calls: the provider's items for `files`, and a submenu's items
// (each a new list of new references).
GList* NautilusFileItems(GObject* provider, GList* files);
GList* NautilusSubmenuItems(GObject* menu);
