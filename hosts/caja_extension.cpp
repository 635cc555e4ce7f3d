// The Caja extension module: a menu provider that shows the contextual-menu
// plug-ins' items for the selection and in the window's File menu. Caja's
// extension menus have no separators, so the plug-ins' separators are left
// out.
#include <libcaja-extension/caja-file-info.h>
#include <libcaja-extension/caja-menu-provider.h>

#include "hosts/gobject_bridge.h"

namespace {

GType gProviderType = 0;

const MenuItemFactory kFactory = {
    [](const char* name, const char* label) {
      return G_OBJECT(caja_menu_item_new(name, label, "", nullptr));
    },
    nullptr,
    [] { return G_OBJECT(caja_menu_new()); },
    [](GObject* menu, GObject* item) {
      caja_menu_append_item(CAJA_MENU(menu), CAJA_MENU_ITEM(item));
    },
    [](GObject* item, GObject* menu) {
      caja_menu_item_set_submenu(CAJA_MENU_ITEM(item), CAJA_MENU(menu));
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
      GFile* location = CAJA_IS_FILE_INFO(node->data)
                            ? caja_file_info_get_location(CAJA_FILE_INFO(node->data))
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

GList* MyGetFileItems(CajaMenuProvider* /*provider*/, GtkWidget* /*window*/, GList* files) {
  return ItemsFor(files, HostMenuSource::kSelection);
}

GList* MyGetBackgroundItems(CajaMenuProvider* /*provider*/, GtkWidget* /*window*/,
                            CajaFileInfo* folder) {
  GList files = {folder, nullptr, nullptr};
  // Caja shows these in the window's File menu, built when the folder loads.
  return ItemsFor(&files, HostMenuSource::kLocation);
}

void MyProviderInterfaceInit(gpointer iface, gpointer /*data*/) {
  auto* provider = static_cast<CajaMenuProviderIface*>(iface);
  provider->get_file_items = MyGetFileItems;
  provider->get_background_items = MyGetBackgroundItems;
}

}  // namespace

extern "C" {

void caja_module_initialize(GTypeModule* module) {
  const GTypeInfo info = {sizeof(GObjectClass), nullptr, nullptr, nullptr, nullptr, nullptr,
                          sizeof(GObject),      0,       nullptr, nullptr};
  gProviderType = g_type_module_register_type(module, G_TYPE_OBJECT, "KestrineCajaMenuProvider",
                                              &info, static_cast<GTypeFlags>(0));
  const GInterfaceInfo provider = {MyProviderInterfaceInit, nullptr, nullptr};
  g_type_module_add_interface(module, gProviderType, CAJA_TYPE_MENU_PROVIDER, &provider);
  LogModuleLoaded("Caja");
}

void caja_module_shutdown(void) {}

void caja_module_list_types(const GType** types, int* numTypes) {
  *types = &gProviderType;
  *numTypes = 1;
}

}  // extern "C"
