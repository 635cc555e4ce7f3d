// The Caja extension module: a menu provider that shows the contextual-menu
// plug-ins' items for the selection and in the window's File menu. Caja's
// extension menus have no separators, so the plug-ins' separators are left
// out.
#include <libcaja-extension/caja-file-info.h>
#include <libcaja-extension/caja-menu-provider.h>

#include "hosts/gobject_bridge.h"

namespace {

GType gProviderType = 0;

const FileManagerMenus kCaja = {
    MenuItemFactoryOf<caja_menu_item_new, caja_menu_new, caja_menu_append_item, caja_menu_item_set_submenu>(""),
    LocationOf<caja_file_info_get_type, caja_file_info_get_location>};

void MyProviderInterfaceInit(gpointer iface, gpointer /*data*/) {
  auto* provider = static_cast<CajaMenuProviderIface*>(iface);
  provider->get_file_items = SelectionItems<kCaja>;
  // Caja shows these in the window's File menu, built when the folder loads.
  provider->get_background_items = FolderItems<kCaja, HostMenuSource::kLocation>;
}

}  // namespace

extern "C" {

void caja_module_initialize(GTypeModule* module) {
  gProviderType = RegisterMenuProvider(module, "KestrineCajaMenuProvider", CAJA_TYPE_MENU_PROVIDER,
                                       MyProviderInterfaceInit, "Caja");
}

void caja_module_shutdown(void) {}

void caja_module_list_types(const GType** types, int* numTypes) {
  *types = &gProviderType;
  *numTypes = 1;
}

}  // extern "C"
