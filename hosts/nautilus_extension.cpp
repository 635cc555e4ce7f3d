// The Nautilus extension module (extension API 4): a menu provider that
// shows the contextual-menu plug-ins' items for the selection and for a
// folder's background. Nautilus's menus have no separators for extensions,
// so the plug-ins' separators are left out.
#include <glib-object.h>

// The header declares the entry points without C linkage; declared first
// here, they keep it.
extern "C" {
void nautilus_module_initialize(GTypeModule* module);
void nautilus_module_shutdown(void);
void nautilus_module_list_types(const GType** types, int* numTypes);
}

#include <nautilus-extension.h>

#include "hosts/gobject_bridge.h"

namespace {

GType gProviderType = 0;

const MenuItemFactory kFactory = {
    [](const char* name, const char* label) {
      return G_OBJECT(nautilus_menu_item_new(name, label, nullptr, nullptr));
    },
    nullptr,
    [] { return G_OBJECT(nautilus_menu_new()); },
    [](GObject* menu, GObject* item) {
      nautilus_menu_append_item(NAUTILUS_MENU(menu), NAUTILUS_MENU_ITEM(item));
    },
    [](GObject* item, GObject* menu) {
      nautilus_menu_item_set_submenu(NAUTILUS_MENU_ITEM(item), NAUTILUS_MENU(menu));
    },
};

// Unrefs the locations it holds.
struct Locations {
  std::vector<GFile*> files;
  ~Locations() {
    for (GFile* file : files) {
      if (file != nullptr) g_object_unref(file);
    }
  }
};

GList* ItemsFor(GList* files, HostMenuSource source) {
  try {
    Locations locations;
    for (GList* node = files; node != nullptr; node = node->next) {
      GFile* location = NAUTILUS_IS_FILE_INFO(node->data)
                            ? nautilus_file_info_get_location(NAUTILUS_FILE_INFO(node->data))
                            : nullptr;
      try {
        locations.files.push_back(location);
      } catch (...) {
        if (location != nullptr) g_object_unref(location);
        throw;
      }
    }
    return MakeMenuItems(SharedContextualMenuHost().BuildMenu(
                             SelectionFromLocations(locations.files), source, CurrentMenuUpdate()),
                         source, kFactory);
  } catch (...) {
    return nullptr;
  }
}

GList* MyGetFileItems(NautilusMenuProvider* /*provider*/, GList* files) {
  return ItemsFor(files, HostMenuSource::kSelection);
}

GList* MyGetBackgroundItems(NautilusMenuProvider* /*provider*/, NautilusFileInfo* folder) {
  GList files = {folder, nullptr, nullptr};
  return ItemsFor(&files, HostMenuSource::kBackground);
}

void MyProviderInterfaceInit(gpointer iface, gpointer /*data*/) {
  auto* provider = static_cast<NautilusMenuProviderInterface*>(iface);
  provider->get_file_items = MyGetFileItems;
  provider->get_background_items = MyGetBackgroundItems;
}

}  // namespace

extern "C" {

void nautilus_module_initialize(GTypeModule* module) {
  const GTypeInfo info = {sizeof(GObjectClass), nullptr, nullptr, nullptr, nullptr, nullptr,
                          sizeof(GObject),      0,       nullptr, nullptr};
  gProviderType = g_type_module_register_type(module, G_TYPE_OBJECT, "KestrineNautilusMenuProvider",
                                              &info, static_cast<GTypeFlags>(0));
  const GInterfaceInfo provider = {MyProviderInterfaceInit, nullptr, nullptr};
  g_type_module_add_interface(module, gProviderType, NAUTILUS_TYPE_MENU_PROVIDER, &provider);
  LogModuleLoaded("Nautilus");
}

void nautilus_module_shutdown(void) {}

void nautilus_module_list_types(const GType** types, int* numTypes) {
  *types = &gProviderType;
  *numTypes = 1;
}

}  // extern "C"
