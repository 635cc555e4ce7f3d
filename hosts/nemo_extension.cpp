// The Nemo extension module: a menu provider that shows the contextual-menu
// plug-ins' items for the selection and for a folder's background, with the
// plug-ins' separators as Nemo's separators.
#include <libnemo-extension/nemo-file-info.h>
#include <libnemo-extension/nemo-menu-provider.h>

#include "hosts/gobject_bridge.h"

namespace {

GType gProviderType = 0;

const MenuItemFactory kFactory = {
    [](const char* name, const char* label) {
      return G_OBJECT(nemo_menu_item_new(name, label, "", nullptr));
    },
    [](const char* name) { return G_OBJECT(nemo_menu_item_new_separator(name)); },
    [] { return G_OBJECT(nemo_menu_new()); },
    [](GObject* menu, GObject* item) {
      nemo_menu_append_item(NEMO_MENU(menu), NEMO_MENU_ITEM(item));
    },
    [](GObject* item, GObject* menu) {
      nemo_menu_item_set_submenu(NEMO_MENU_ITEM(item), NEMO_MENU(menu));
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
      GFile* location = NEMO_IS_FILE_INFO(node->data)
                            ? nemo_file_info_get_location(NEMO_FILE_INFO(node->data))
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

GList* MyGetFileItems(NemoMenuProvider* /*provider*/, GtkWidget* /*window*/, GList* files) {
  return ItemsFor(files, HostMenuSource::kSelection);
}

GList* MyGetBackgroundItems(NemoMenuProvider* /*provider*/, GtkWidget* /*window*/,
                            NemoFileInfo* folder) {
  GList files = {folder, nullptr, nullptr};
  return ItemsFor(&files, HostMenuSource::kBackground);
}

void MyProviderInterfaceInit(gpointer iface, gpointer /*data*/) {
  auto* provider = static_cast<NemoMenuProviderIface*>(iface);
  provider->get_file_items = MyGetFileItems;
  provider->get_background_items = MyGetBackgroundItems;
}

}  // namespace

extern "C" {

void nemo_module_initialize(GTypeModule* module) {
  const GTypeInfo info = {sizeof(GObjectClass), nullptr, nullptr, nullptr, nullptr, nullptr,
                          sizeof(GObject),      0,       nullptr, nullptr};
  gProviderType = g_type_module_register_type(module, G_TYPE_OBJECT, "KestrineNemoMenuProvider",
                                              &info, static_cast<GTypeFlags>(0));
  const GInterfaceInfo provider = {MyProviderInterfaceInit, nullptr, nullptr};
  g_type_module_add_interface(module, gProviderType, NEMO_TYPE_MENU_PROVIDER, &provider);
  LogModuleLoaded("Nemo");
}

void nemo_module_shutdown(void) {}

void nemo_module_list_types(const GType** types, int* numTypes) {
  *types = &gProviderType;
  *numTypes = 1;
}

}  // extern "C"
