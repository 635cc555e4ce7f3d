#include "hosts/module_host.h"

#include <gmodule.h>
#include <libcaja-extension/caja-file-info.h>
#include <libnemo-extension/nemo-file-info.h>
#include <nautilus-extension.h>

// Some of thunarx's headers declare their functions without C linkage.
extern "C" {
#include <thunarx/thunarx.h>
}

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
    const GInterfaceInfo thunar{MyFileInfoInit<ThunarxFileInfoIface>, nullptr, nullptr};
    g_type_add_interface_static(t, NAUTILUS_TYPE_FILE_INFO, &nautilus);
    g_type_add_interface_static(t, CAJA_TYPE_FILE_INFO, &caja);
    g_type_add_interface_static(t, NEMO_TYPE_FILE_INFO, &nemo);
    g_type_add_interface_static(t, THUNARX_TYPE_FILE_INFO, &thunar);
    return t;
  }();
  return type;
}

// A Thunar extension module as Thunar's type module for them holds it: a
// GTypeModule that is the ThunarxProviderPlugin the module registers its
// types with, opened lazily and locally, and closed when no longer used
// unless the module made itself resident.
struct ThunarModule {
  GTypeModule parent;
  std::string* path;
  std::string* error;
  GModule* library;
  gboolean resident;
  void (*initialize)(ThunarxProviderPlugin* plugin);
  void (*shutdown)();
  void (*listTypes)(const GType** types, int* count);
};

ThunarModule* AsThunarModule(gpointer object) { return static_cast<ThunarModule*>(object); }

gboolean MyLoadThunarModule(GTypeModule* typeModule) {
  ThunarModule* module = AsThunarModule(typeModule);
  module->library = g_module_open(module->path->c_str(),
                                  static_cast<GModuleFlags>(G_MODULE_BIND_LAZY | G_MODULE_BIND_LOCAL));
  if (module->library == nullptr) {
    *module->error = g_module_error();
    return FALSE;
  }
  if (!g_module_symbol(module->library, "thunar_extension_initialize",
                       reinterpret_cast<gpointer*>(&module->initialize)) ||
      !g_module_symbol(module->library, "thunar_extension_shutdown",
                       reinterpret_cast<gpointer*>(&module->shutdown)) ||
      !g_module_symbol(module->library, "thunar_extension_list_types",
                       reinterpret_cast<gpointer*>(&module->listTypes))) {
    *module->error = *module->path + ": no Thunar extension entry points";
    g_module_close(module->library);
    return FALSE;
  }
  module->initialize(THUNARX_PROVIDER_PLUGIN(module));
  return TRUE;
}

void MyUnloadThunarModule(GTypeModule* typeModule) {
  ThunarModule* module = AsThunarModule(typeModule);
  module->shutdown();
  g_module_close(module->library);
}

void MyThunarPluginInit(gpointer iface, gpointer) {
  auto* plugin = static_cast<ThunarxProviderPluginIface*>(iface);
  plugin->get_resident = [](const ThunarxProviderPlugin* p) {
    return AsThunarModule(const_cast<ThunarxProviderPlugin*>(p))->resident;
  };
  plugin->set_resident = [](ThunarxProviderPlugin* p, gboolean resident) { AsThunarModule(p)->resident = resident; };
  plugin->register_type = [](ThunarxProviderPlugin* p, GType parent, const gchar* name, const GTypeInfo* info,
                             GTypeFlags flags) { return g_type_module_register_type(G_TYPE_MODULE(p), parent, name, info, flags); };
  plugin->add_interface = [](ThunarxProviderPlugin* p, GType instance, GType implemented, const GInterfaceInfo* info) {
    g_type_module_add_interface(G_TYPE_MODULE(p), instance, implemented, info);
  };
  plugin->register_enum = [](ThunarxProviderPlugin* p, const gchar* name, const GEnumValue* values) {
    return g_type_module_register_enum(G_TYPE_MODULE(p), name, values);
  };
  plugin->register_flags = [](ThunarxProviderPlugin* p, const gchar* name, const GFlagsValue* values) {
    return g_type_module_register_flags(G_TYPE_MODULE(p), name, values);
  };
}

// A new module for the file at `path`, kept for the process's life.
ThunarModule* NewThunarModule(const std::string& path) {
  static const GType type = [] {
    GTypeInfo info{};
    info.class_size = sizeof(GTypeModuleClass);
    info.class_init = [](gpointer klass, gpointer) {
      G_TYPE_MODULE_CLASS(klass)->load = MyLoadThunarModule;
      G_TYPE_MODULE_CLASS(klass)->unload = MyUnloadThunarModule;
      // The plug-in interface's "resident" property, the flag behind
      // get_resident and set_resident.
      G_OBJECT_CLASS(klass)->get_property = [](GObject* object, guint, GValue* value, GParamSpec*) {
        g_value_set_boolean(value, AsThunarModule(object)->resident);
      };
      G_OBJECT_CLASS(klass)->set_property = [](GObject* object, guint, const GValue* value, GParamSpec*) {
        AsThunarModule(object)->resident = g_value_get_boolean(value);
      };
      g_object_class_override_property(G_OBJECT_CLASS(klass), 1, "resident");
    };
    info.instance_size = sizeof(ThunarModule);
    const GType t = g_type_register_static(G_TYPE_TYPE_MODULE, "KestrineTestThunarModule", &info,
                                           static_cast<GTypeFlags>(0));
    const GInterfaceInfo plugin{MyThunarPluginInit, nullptr, nullptr};
    g_type_add_interface_static(t, THUNARX_TYPE_PROVIDER_PLUGIN, &plugin);
    return t;
  }();
  ThunarModule* module = AsThunarModule(g_object_new(type, nullptr));
  module->path = new std::string(path);
  module->error = new std::string;
  return module;
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

GType LoadThunarExtension(const std::string& path, std::string* error) {
  ThunarModule* module = NewThunarModule(path);
  GTypeModule* typeModule = G_TYPE_MODULE(module);
  if (!g_type_module_use(typeModule)) {
    if (error != nullptr) *error = *module->error;
    return 0;
  }
  const GType* types = nullptr;
  int count = 0;
  module->listTypes(&types, &count);
  const GType type = count == 1 && types != nullptr ? types[0] : 0;
  if (type == 0 && error != nullptr) *error = path + ": lists " + std::to_string(count) + " types, not 1";
  // Thunar lets go of a module that is not resident once it has its types,
  // and loads it again for each new provider.
  if (!module->resident) g_type_module_unuse(typeModule);
  return type;
}

GList* NautilusFileItems(GObject* provider, GList* files) {
  return nautilus_menu_provider_get_file_items(NAUTILUS_MENU_PROVIDER(provider), files);
}

GList* NautilusSubmenuItems(GObject* menu) { return nautilus_menu_get_items(NAUTILUS_MENU(menu)); }
