// The Nemo extension module: a menu provider that shows the contextual-menu
// plug-ins' items for the selection and for a folder's background, with the
// plug-ins' separators as Nemo's separators.
#include <libnemo-extension/nemo-file-info.h>
#include <libnemo-extension/nemo-menu-provider.h>

#include "hosts/gobject_bridge.h"

namespace {

GType gProviderType = 0;

const FileManagerMenus kNemo = {
    MenuItemFactoryOf<nemo_menu_item_new, nemo_menu_new, nemo_menu_append_item, nemo_menu_item_set_submenu>(
        "", [](const char* name) { return G_OBJECT(nemo_menu_item_new_separator(name)); }),
    LocationOf<nemo_file_info_get_type, nemo_file_info_get_location>};

void MyProviderInterfaceInit(gpointer iface, gpointer /*data*/) {
  auto* provider = static_cast<NemoMenuProviderIface*>(iface);
  provider->get_file_items = SelectionItems<kNemo>;
  provider->get_background_items = FolderItems<kNemo, HostMenuSource::kBackground>;
}

}  // namespace

extern "C" {

void nemo_module_initialize(GTypeModule* module) {
  gProviderType = RegisterMenuProvider(module, "KestrineNemoMenuProvider", NEMO_TYPE_MENU_PROVIDER,
                                       MyProviderInterfaceInit, "Nemo");
}

void nemo_module_shutdown(void) {}

void nemo_module_list_types(const GType** types, int* numTypes) {
  *types = &gProviderType;
  *numTypes = 1;
}

}  // extern "C"
