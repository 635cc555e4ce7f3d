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

const FileManagerMenus kNautilus = {
    MenuItemFactoryOf<nautilus_menu_item_new, nautilus_menu_new, nautilus_menu_append_item,
                      nautilus_menu_item_set_submenu>(nullptr),
    LocationOf<nautilus_file_info_get_type, nautilus_file_info_get_location>};

void MyProviderInterfaceInit(gpointer iface, gpointer /*data*/) {
  auto* provider = static_cast<NautilusMenuProviderInterface*>(iface);
  provider->get_file_items = SelectionItems<kNautilus>;
  provider->get_background_items = FolderItems<kNautilus, HostMenuSource::kBackground>;
}

}  // namespace

extern "C" {

void nautilus_module_initialize(GTypeModule* module) {
  gProviderType = RegisterMenuProvider(module, "KestrineNautilusMenuProvider",
                                       NAUTILUS_TYPE_MENU_PROVIDER, MyProviderInterfaceInit, "Nautilus");
}

void nautilus_module_shutdown(void) {}

void nautilus_module_list_types(const GType** types, int* numTypes) {
  *types = &gProviderType;
  *numTypes = 1;
}

}  // extern "C"
