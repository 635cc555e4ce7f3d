#include "platform/plugin/plugin.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "platform/plugin/plugin_loader.h"
#include "platform/plugin/plugin_test_plugin.h"
#include "testing/test_support.h"

namespace {

namespace fs = std::filesystem;

using kestrine_testing::ScopedTempDir;

std::string Key(const std::string& key, const std::string& value) { return "<key>" + key + "</key>" + value; }
std::string String(const std::string& text) { return "<string>" + text + "</string>"; }
std::string Array(const std::string& items) { return "<array>" + items + "</array>"; }
std::string Factories(const std::string& entries) { return Key("CFPlugInFactories", "<dict>" + entries + "</dict>"); }
std::string Types(const std::string& entries) { return Key("CFPlugInTypes", "<dict>" + entries + "</dict>"); }

const std::string kIdentifier = Key("CFBundleIdentifier", String("com.example.PlugInTest"));
const std::string kExecutable = Key("CFBundleExecutable", String("PlugInTest.so"));

// Makes the folder `name`.plugin in `parent` with an Info.plist of `entries`
// and, when `withCode`, the test plug-in's shared object. Returns its path.
std::string MakeBundle(const std::string& parent, const std::string& name, const std::string& entries,
                       bool withCode = true) {
  const std::string bundle = parent + "/" + name + ".plugin";
  fs::create_directories(bundle + "/Contents/Linux");
  kestrine_testing::WriteFile(bundle + "/Contents/Info.plist", kestrine_testing::XmlPropertyList(entries));
  if (withCode) fs::copy_file(PLUGIN_TEST_PLUGIN, bundle + "/Contents/Linux/PlugInTest.so");
  return bundle;
}

// One bundle of the working plug-in per test process, since the factories it
// declares stay with it for the life of the process: type A made by the
// exported factory; type B listing the missing factory, then the exported one.
const std::string& TestPlugInBundle() {
  static const ScopedTempDir dir;
  static const std::string bundle = MakeBundle(
      dir.path(), "PlugInTest",
      kIdentifier + kExecutable +
          Factories(Key(kPlugInTestFactory, String("PlugInTestFactory")) +
                    Key(kPlugInTestMissingFactory, String("PlugInTestMissingFactory"))) +
          Types(Key(kPlugInTestTypeA, Array(String(kPlugInTestFactory))) +
                Key(kPlugInTestTypeB, Array(String(kPlugInTestMissingFactory) +
                                            String("c0ffee00-1234-4567-89ab-cdef01234567")))));
  return bundle;
}

CFUUIDRef Uuid(const char* text) { return text ? CFUUIDCreateFromString(nullptr, text) : nullptr; }

std::vector<std::string> Texts(const std::vector<CFUUIDRef>& uuids) {
  std::vector<std::string> texts;
  for (const CFUUIDRef& uuid : uuids) texts.push_back(CFUUIDCreateString(nullptr, uuid));
  return texts;
}

TEST(CFPlugInTest, ReadsTheDeclarationsWithoutLoadingCode) {
  std::string error = "unchanged";
  const CFPlugInRef plugIn = CFPlugInCreate(nullptr, TestPlugInBundle(), &error);
  ASSERT_NE(plugIn, nullptr) << error;
  EXPECT_EQ(error, "unchanged");
  EXPECT_EQ(CFPlugInCreate(nullptr, TestPlugInBundle() + "/"), plugIn);
  EXPECT_EQ(CFPlugInCreate(nullptr, TestPlugInBundle() + "/Contents/.."), plugIn);
  const std::optional<CFBundle> bundle = CFPlugInGetBundle(plugIn);
  ASSERT_TRUE(bundle.has_value());
  EXPECT_EQ(bundle->identifier, "com.example.PlugInTest");
  EXPECT_EQ(bundle->path, TestPlugInBundle());
  EXPECT_EQ(CFPlugInGetBundle(nullptr), std::nullopt);
  EXPECT_FALSE(CFPlugInIsLoaded(nullptr));

  const auto factories = [&](const char* type) {
    return Texts(CFPlugInFindFactoriesForPlugInTypeInPlugIn(Uuid(type), plugIn));
  };
  EXPECT_EQ(factories(kPlugInTestTypeA), std::vector<std::string>{kPlugInTestFactory});
  EXPECT_EQ(factories(kPlugInTestTypeB),
            (std::vector<std::string>{kPlugInTestMissingFactory, kPlugInTestFactory}));
  EXPECT_TRUE(factories(kPlugInTestFactory).empty());
  EXPECT_TRUE(factories(nullptr).empty());
  EXPECT_TRUE(CFPlugInFindFactoriesForPlugInTypeInPlugIn(Uuid(kPlugInTestTypeA), nullptr).empty());
  EXPECT_EQ(Texts(CFPlugInFindFactoriesForPlugInType(Uuid(kPlugInTestTypeA))),
            std::vector<std::string>{kPlugInTestFactory});
  EXPECT_FALSE(CFPlugInIsLoaded(plugIn));
}

TEST(CFPlugInTest, InstancesAreCountedAcrossTheLibraryCopies) {
  const CFPlugInRef plugIn = CFPlugInCreate(nullptr, TestPlugInBundle());
  ASSERT_NE(plugIn, nullptr);
  const CFUUIDRef factory = Uuid(kPlugInTestFactory);
  const auto count = [&] { return CFPlugInGetInstanceCountForFactory(factory); };
  EXPECT_EQ(count(), 0u);

  // The wrong type makes nothing and registers nothing, but loads the code.
  std::string error;
  EXPECT_EQ(CFPlugInInstanceCreate(nullptr, factory, Uuid(kPlugInTestTypeB), &error), nullptr);
  EXPECT_EQ(error, std::string("factory ") + kPlugInTestFactory + " makes no instance of type " +
                       kPlugInTestTypeB);
  EXPECT_EQ(count(), 0u);
  EXPECT_TRUE(CFPlugInIsLoaded(plugIn));

  int allocatorToken = 0;
  void* first = CFPlugInInstanceCreate(&allocatorToken, factory, Uuid(kPlugInTestTypeA), &error);
  ASSERT_NE(first, nullptr) << error;
  const PlugInTestInterface& table = PlugInTestTable(first);
  EXPECT_EQ(table.Allocator(first), &allocatorToken);
  EXPECT_EQ(count(), 1u);
  // The plug-in counted with its own copy of the library, in the host's registry.
  EXPECT_EQ(table.CountSeenByPlugIn(first), 1u);
  void* second = CFPlugInInstanceCreate(nullptr, factory, Uuid(kPlugInTestTypeA));
  ASSERT_NE(second, nullptr);
  EXPECT_NE(second, first);
  // Each step in turn: the count it answers, or the registry's count after it.
  using Counts = std::vector<std::uint32_t>;
  EXPECT_EQ((Counts{count(), table.AddRef(first), table.Release(first), count(), table.Release(first)}),
            (Counts{2, 2, 1, 2, 0}));
  EXPECT_EQ(count(), 1u);
  EXPECT_EQ((Counts{table.CountSeenByPlugIn(second), table.Release(second), count()}), (Counts{1, 0, 0}));
  EXPECT_TRUE(CFPlugInIsLoaded(plugIn));  // The code stays loaded.

  const std::string unknown = "01234567-89AB-CDEF-0123-456789ABCDEF";
  const struct { const char* factory; const char* type; std::string error; } cannotRun[] = {
      {kPlugInTestMissingFactory, kPlugInTestTypeB,
       TestPlugInBundle() + "/Contents/Linux/PlugInTest.so exports no function PlugInTestMissingFactory"},
      {unknown.c_str(), kPlugInTestTypeA, "no plug-in declares the factory " + unknown},
      {nullptr, kPlugInTestTypeA, "no factory or type given"},
  };
  for (const auto& c : cannotRun) {
    EXPECT_EQ(CFPlugInInstanceCreate(nullptr, Uuid(c.factory), Uuid(c.type), &error), nullptr);
    EXPECT_EQ(error, c.error);
  }
}

TEST(CFPlugInTest, InstanceCountsOfTheHost) {
  const CFUUIDRef factory = Uuid("AAAAAAAA-BBBB-4CCC-8DDD-EEEEEEEEEEEE");
  const CFUUIDRef sameBytes = Uuid("aaaaaaaa-bbbb-4ccc-8ddd-eeeeeeeeeeee");
  CFPlugInRemoveInstanceForFactory(factory);
  EXPECT_EQ(CFPlugInGetInstanceCountForFactory(factory), 0u);
  CFPlugInAddInstanceForFactory(factory);
  CFPlugInAddInstanceForFactory(sameBytes);
  EXPECT_EQ(CFPlugInGetInstanceCountForFactory(factory), 2u);
  CFPlugInRemoveInstanceForFactory(sameBytes);
  CFPlugInRemoveInstanceForFactory(factory);
  CFPlugInRemoveInstanceForFactory(factory);
  EXPECT_EQ(CFPlugInGetInstanceCountForFactory(factory), 0u);
  CFPlugInAddInstanceForFactory(nullptr);
  CFPlugInRemoveInstanceForFactory(nullptr);
  EXPECT_EQ(CFPlugInGetInstanceCountForFactory(nullptr), 0u);
}

TEST(CFPlugInTest, LoadsOnlyARegularFileInsideTheBundle) {
  ScopedTempDir dir;
  const char* factory = "11111111-2222-4333-8444-555555555555";
  // A bundle whose one factory is the test plug-in's under the UUID `factory`.
  const auto make = [&](const std::string& name, const std::string& executable, bool withCode) {
    return MakeBundle(dir.path(), name,
                      kIdentifier + Key("CFBundleExecutable", String(executable)) +
                          Factories(Key(factory, String("PlugInTestFactory"))),
                      withCode);
  };
  // `makeCode` makes Contents/Linux/PlugInTest.so; each error follows
  // "<bundle>/Contents/", and an empty one means the code lies outside.
  const struct {
    std::string name, executable;
    void (*makeCode)(const std::string& path);
    std::string error;
  } cases[] = {
      {"Missing", "PlugInTest.so", nullptr, "Linux/PlugInTest.so: No such file or directory"},
      {"Fifo", "PlugInTest.so", [](const std::string& path) { ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0); },
       "Linux/PlugInTest.so: not a regular file"},
      {"Folder", "PlugInTest.so", [](const std::string& path) { fs::create_directories(path); },
       "Linux/PlugInTest.so: not a regular file"},
      {"LinkLoop", "PlugInTest.so", [](const std::string& path) { fs::create_symlink(path, path); },
       "Linux/PlugInTest.so: Too many levels of symbolic links"},
      {"Climbs", "../Info.plist", nullptr, ""},
      {"ClimbsDeeper", "sub/../../../x.so", nullptr, ""},
      {"Absolute", "/bin/true", nullptr, ""},
  };
  for (const auto& c : cases) {
    const std::string bundle = make(c.name, c.executable, false);
    if (c.makeCode != nullptr) c.makeCode(bundle + "/Contents/Linux/PlugInTest.so");
    std::string error;
    EXPECT_EQ(CFPlugInCreate(nullptr, bundle, &error), nullptr) << c.name;
    EXPECT_EQ(error, c.error.empty() ? bundle + "/Contents/Info.plist: CFBundleExecutable \"" + c.executable +
                                           "\" lies outside the bundle"
                                     : "cannot load " + bundle + "/Contents/" + c.error);
  }
  // None of them claimed the factory.
  EXPECT_EQ(CFPlugInInstanceCreate(nullptr, Uuid(factory), Uuid(kPlugInTestTypeA)), nullptr);

  // Code that turns into a FIFO after the bundle was read is not loaded
  // either: loading it would wait for a writer for ever.
  const std::string swapped = make("Swapped", "PlugInTest.so", true);
  std::string error;
  const CFPlugInRef plugIn = CFPlugInCreate(nullptr, swapped, &error);
  ASSERT_NE(plugIn, nullptr) << error;
  const std::string code = swapped + "/Contents/Linux/PlugInTest.so";
  fs::remove(code);
  ASSERT_EQ(::mkfifo(code.c_str(), 0600), 0);
  EXPECT_EQ(CFPlugInInstanceCreate(nullptr, Uuid(factory), Uuid(kPlugInTestTypeA), &error), nullptr);
  EXPECT_EQ(error, "cannot load " + code + ": not a regular file");
  EXPECT_FALSE(CFPlugInIsLoaded(plugIn));
}

TEST(CFPlugInTest, RefusesBundlesThatAreNotPlugIns) {
  ScopedTempDir dir;
  const std::string both = kIdentifier + kExecutable;
  const std::string factories = Factories(Key(kPlugInTestFactory, String("F")));
  const auto types = [&](const std::string& entries) { return both + factories + Types(entries); };
  const std::string typeA = std::string(": type ") + kPlugInTestTypeA;
  // Each error follows "<bundle>/Contents/Info.plist".
  const struct { std::string name; std::string entries; std::string error; } cases[] = {
      {"NoIdentifier", kExecutable + factories, " is unreadable or has no CFBundleIdentifier"},
      {"NoExecutable", kIdentifier + factories, " names no CFBundleExecutable"},
      {"NoFactories", both, " has no CFPlugInFactories dictionary: not a plug-in"},
      {"FactoriesNotDict", both + Key("CFPlugInFactories", "<array/>"),
       " has no CFPlugInFactories dictionary: not a plug-in"},
      {"BadFactoryUUID", both + Factories(Key("C0FFEE", String("F"))), ": malformed factory UUID \"C0FFEE\""},
      {"NoFunction", both + Factories(Key(kPlugInTestFactory, "<integer>1</integer>")),
       std::string(": factory ") + kPlugInTestFactory + " names no function"},
      {"TypesNotDict", both + factories + Key("CFPlugInTypes", "<array/>"),
       ": CFPlugInTypes is not a dictionary"},
      {"BadTypeUUID", types(Key("type", "<array/>")), ": malformed type UUID \"type\""},
      {"TypeNotArray", types(Key(kPlugInTestTypeA, String(kPlugInTestFactory))),
       typeA + " has no array of factories"},
      {"TypeListsBadUUID", types(Key(kPlugInTestTypeA, Array("<true/>"))),
       typeA + " lists a malformed factory UUID"},
      {"TypeListsUndeclared", types(Key(kPlugInTestTypeA, Array(String(kPlugInTestMissingFactory)))),
       typeA + " lists the undeclared factory " + kPlugInTestMissingFactory},
  };
  for (const auto& c : cases) {
    const std::string bundle = MakeBundle(dir.path(), c.name, c.entries);
    std::string error;
    EXPECT_EQ(CFPlugInCreate(nullptr, bundle, &error), nullptr) << c.name;
    EXPECT_EQ(error, bundle + "/Contents/Info.plist" + c.error);
  }

  std::string error;
  EXPECT_EQ(CFPlugInCreate(nullptr, dir.Join("Missing.plugin"), &error), nullptr);
  EXPECT_EQ(error, "no bundle folder at " + dir.Join("Missing.plugin"));
  fs::create_directories(dir.Join("Empty.plugin/Contents"));
  EXPECT_EQ(CFPlugInCreate(nullptr, dir.Join("Empty.plugin"), &error), nullptr);
  EXPECT_EQ(error, dir.Join("Empty.plugin has no Contents/Info.plist"));
  EXPECT_EQ(CFPlugInCreate(nullptr, dir.Join("Empty.plugin")), nullptr);  // No message asked for.
}

TEST(PlugInFoldersTest, TheUserFolderIsBelowTheOneHomeFolderWithoutDataHome) {
  const passwd* entry = getpwuid(geteuid());
  ASSERT_NE(entry, nullptr);
  const std::string passwdHome = entry->pw_dir == std::string("/") ? "" : entry->pw_dir;
  const std::string below = "/.local/share/Kestrine/Contextual Menu Items";
  const std::pair<std::optional<std::string>, std::string> cases[] = {
      {"/home/ann", "/home/ann" + below}, {"/home/ann//", "/home/ann" + below}, {"/", below},
      {"relative", passwdHome + below},   {std::nullopt, passwdHome + below}};
  kestrine_testing::ScopedEnvironment env;
  env.Set("XDG_DATA_HOME", std::nullopt);
  env.Set("XDG_DATA_DIRS", "/usr/share");
  for (const auto& [home, expected] : cases) {
    SCOPED_TRACE(home.value_or("(unset)"));
    env.Set("HOME", home);
    EXPECT_EQ(ContextualMenuPlugInFolders(),
              (std::vector<std::string>{expected, "/usr/share/Kestrine/Contextual Menu Items"}));
  }
}

}  // namespace
