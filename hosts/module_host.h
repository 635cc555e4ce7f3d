// A stand-in for the file managers' side of extension modules, for tests and
// benchmarks: file-info objects and the loading of a module as Nautilus,
// Caja, Nemo and Thunar load theirs.
#pragma once

#include <gio/gio.h>

#include <string>

// A new object that implements NautilusFileInfo, CajaFileInfo, NemoFileInfo
// and ThunarxFileInfo for `location` (taken over): it answers get_location and
// get_uri, all that the modules ask.
GObject* NewTestFileInfo(GFile* location);

// Loads the module at `path` as its file manager does: g_module_open, then
// "<prefix>_module_initialize" with a type module, then
// "<prefix>_module_list_types". Returns the one type it lists, or 0 with
// the reason in `error`. The module stays loaded.
GType LoadExtensionModule(const std::string& path, const std::string& prefix,
                          std::string* error);

// Loads the Thunar module at `path` as Thunar does: a type module that is
// the ThunarxProviderPlugin it registers with opens it (lazily and locally)
// and calls "thunar_extension_initialize", then
// "thunar_extension_list_types"; a module that did not make itself resident
// is closed again until a provider is made. Returns the one type it lists,
// or 0 with the reason in `error`.
GType LoadThunarExtension(const std::string& path, std::string* error);

// Nautilus's calls: the provider's items for `files`, and a submenu's items
// (each a new list of new references).
GList* NautilusFileItems(GObject* provider, GList* files);
GList* NautilusSubmenuItems(GObject* menu);
