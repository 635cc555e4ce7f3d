#include "hosts/module_host.h"

#include <gmodule.h>
#include <libcaja-extension/caja-file-info.h>
#include <libnemo-extension/nemo-file-info.h>
#include <nautilus-extension.h>

namespace {

// A type module kept in use for the process's life.
GTypeModule* NewTypeModule() {
  static const GType type = [] {
    GTypeInfo info{};
    info.class_size = sizeof(GTypeModuleClass);
    info.class_init = [](gpointer klass, gpointer) {
      G_TYPE_MODULE_CLASS(klass)->load = [](GTypeModule*) -> gboolean { return TRUE; };
      G_TYPE_MODULE_CLASS(klass)->unload = [](GTypeModule*) {};
    };
    info.instance_size = sizeof(GTypeModule);
    return g_type_register_static(G_TYPE_TYPE_MODULE, "KestrineTestTypeModule", &info,
                                  static_cast<GTypeFlags>(0));
  }();
  auto* module = G_TYPE_MODULE(g_object_new(type, nullptr));
  g_type_module_use(module);
  return module;
}

// A file as the three file managers describe one: its location, nothing more.
struct TestFileInfo {
  GObject parent;
  GFile* location;
};

GFile* MyGetLocation(TestFileInfo* info) { return G_FILE(g_object_ref(info->location)); }
char* MyGetURI(TestFileInfo* info) { return g_file_get_uri(info->location); }

template <typename Interface>
void MyFileInfoInit(gpointer iface, gpointer) {
  auto* info = static_cast<Interface*>(iface);
  info->get_location = reinterpret_cast<decltype(info->get_location)>(MyGetLocation);
  info->get_uri = reinterpret_cast<decltype(info->get_uri)>(MyGetURI);
}

GType TestFileInfoType() {
  static const GType type = [] {
    GTypeInfo info{};
    info.class_size = sizeof(GObjectClass);
    info.class_init = [](gpointer klass, gpointer) {
      G_OBJECT_CLASS(klass)->finalize = [](GObject* object) {
        g_object_unref(reinterpret_cast<TestFileInfo*>(object)->location);
        G_OBJECT_CLASS(g_type_class_peek(G_TYPE_OBJECT))->finalize(object);
      };
    };
    info.instance_size = sizeof(TestFileInfo);
    const GType t = g_type_register_static(G_TYPE_OBJECT, "KestrineTestFileInfo", &info,
                                           static_cast<GTypeFlags>(0));
    const GInterfaceInfo nautilus{MyFileInfoInit<NautilusFileInfoInterface>, nullptr, nullptr};
    const GInterfaceInfo caja{MyFileInfoInit<CajaFileInfoIface>, nullptr, nullptr};
    const GInterfaceInfo nemo{MyFileInfoInit<NemoFileInfoInterface>, nullptr, nullptr};
    g_type_add_interface_static(t, NAUTILUS_TYPE_FILE_INFO, &nautilus);
    g_type_add_interface_static(t, CAJA_TYPE_FILE_INFO, &caja);
    g_type_add_interface_static(t, NEMO_TYPE_FILE_INFO, &nemo);
    return t;
  }();
  return type;
}

}  // namespace

GObject* NewTestFileInfo(GFile* location) {
  auto* info = static_cast<TestFileInfo*>(g_object_new(TestFileInfoType(), nullptr));
  info->location = location;
  return G_OBJECT(info);
}


GType LoadExtensionModule(const std::string& path, const std::string& prefix,
                          std::string* error) {
  GModule* module = g_module_open(path.c_str(), G_MODULE_BIND_LOCAL);
  if (module == nullptr) {
    if (error != nullptr) *error = g_module_error();
    return 0;
  }
  void (*initialize)(GTypeModule*) = nullptr;
  void (*listTypes)(const GType**, int*) = nullptr;
  if (!g_module_symbol(module, (prefix + "_module_initialize").c_str(),
                       reinterpret_cast<gpointer*>(&initialize)) ||
      !g_module_symbol(module, (prefix + "_module_list_types").c_str(),
                       reinterpret_cast<gpointer*>(&listTypes))) {
    if (error != nullptr) *error = path + ": no " + prefix + " module entry points";
    return 0;
  }
  initialize(NewTypeModule());
  const GType* types = nullptr;
  int count = 0;
  listTypes(&types, &count);
  if (count != 1 || types == nullptr) {
    if (error != nullptr) *error = path + ": lists " + std::to_string(count) + " types, not 1";
    return 0;
  }
  return types[0];
}

GList* NautilusFileItems(GObject* provider, GList* files) {
  return nautilus_menu_provider_get_file_items(NAUTILUS_MENU_PROVIDER(provider), files);
}

GList* NautilusSubmenuItems(GObject* menu) { return nautilus_menu_get_items(NAUTILUS_MENU(menu)); }
