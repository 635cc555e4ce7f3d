// The Thunar extension module (thunarx-3): a menu provider that shows the
// contextual-menu plug-ins' items for the selection and for a folder's
// background. Thunar's extension menus have no separators, so the plug-ins'
// separators are left out; Thunar sets the block of extension items apart
// with separators of its own.
#include <gtk/gtk.h>

// Some of thunarx's headers declare their functions without C linkage; with
// the toolkit's headers read first, only thunarx's own come under this.
extern "C" {
#include <thunarx/thunarx.h>
}

#include "hosts/gobject_bridge.h"

namespace {

GType gProviderType = 0;

const FileManagerMenus kThunar = {
    MenuItemFactoryOf<thunarx_menu_item_new, thunarx_menu_new, thunarx_menu_append_item,
                      thunarx_menu_item_set_menu>(nullptr),
    LocationOf<thunarx_file_info_get_type, thunarx_file_info_get_location>};

void MyProviderInterfaceInit(gpointer iface, gpointer /*data*/) {
  auto* provider = static_cast<ThunarxMenuProviderIface*>(iface);
  provider->get_file_menu_items = SelectionItems<kThunar>;
  provider->get_folder_menu_items = FolderItems<kThunar, HostMenuSource::kBackground>;
}

}  // namespace

extern "C" {

void thunar_extension_initialize(ThunarxProviderPlugin* plugin) {
  // The plug-ins' code and the items' handlers live as long as the process:
  // Thunar must never unload the module when its providers go.
  thunarx_provider_plugin_set_resident(plugin, TRUE);
  gProviderType = thunarx_provider_plugin_register_type(plugin, G_TYPE_OBJECT, "KestrineThunarMenuProvider",
                                                        &kMenuProviderTypeInfo, static_cast<GTypeFlags>(0));
  const GInterfaceInfo provider = {MyProviderInterfaceInit, nullptr, nullptr};
  thunarx_provider_plugin_add_interface(plugin, gProviderType, THUNARX_TYPE_MENU_PROVIDER, &provider);
  LogModuleLoaded("Thunar");
}

void thunar_extension_shutdown(void) {}

void thunar_extension_list_types(const GType** types, gint* numTypes) {
  *types = &gProviderType;
  *numTypes = 1;
}

}  // extern "C"
