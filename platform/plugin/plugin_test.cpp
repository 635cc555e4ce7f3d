#include "platform/plugin/plugin.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <memory>
#include <string>

#include "platform/plugin/plugin_test_plugin.h"

#include "testing/test_support.h"

namespace {

namespace fs = std::filesystem;

using TempDir = kestrine_testing::ScopedTempDir;

std::string PlistWith(const std::string& entries) { return kestrine_testing::XmlPropertyList(entries); }

std::string Key(const std::string& key, const std::string& value) {
  return "<key>" + key + "</key>" + value + "\n";
}

std::string String(const std::string& text) { return "<string>" + text + "</string>"; }

const std::string kIdentifier = Key("CFBundleIdentifier", String("com.example.PlugInTest"));
const std::string kExecutable = Key("CFBundleExecutable", String("PlugInTest.so"));

// Makes the folder `name`.plugin in `parent` with this Info.plist and, when
// `withCode`, the test plug-in's shared object. Returns the bundle's path.
std::string MakeBundle(const std::string& parent, const std::string& name,
                       const std::string& plist, bool withCode = true) {
  const std::string bundle = parent + "/" + name + ".plugin";
  fs::create_directories(bundle + "/Contents/Linux");
  kestrine_testing::WriteFile(bundle + "/Contents/Info.plist", plist);
  if (withCode) fs::copy_file(PLUGIN_TEST_PLUGIN, bundle + "/Contents/Linux/PlugInTest.so");
  return bundle;
}

// The plist of the working test plug-in: type A made by the exported
// factory; type B listing the missing factory, then the exported one.
std::string TestPlugInPlist() {
  return PlistWith(
      kIdentifier + kExecutable +
      Key("CFPlugInFactories",
          "<dict>" + Key(kPlugInTestFactory, String("PlugInTestFactory")) +
              Key(kPlugInTestMissingFactory, String("PlugInTestMissingFactory")) + "</dict>") +
      Key("CFPlugInTypes",
          "<dict>" +
              Key(kPlugInTestTypeA, "<array>" + String(kPlugInTestFactory) + "</array>") +
              Key(kPlugInTestTypeB, "<array>" + String(kPlugInTestMissingFactory) +
                                        String("c0ffee00-1234-4567-89ab-cdef01234567") +
                                        "</array>") +
              "</dict>"));
}

// One bundle of the working plug-in per test process: the factories it
// declares stay with it for the life of the process.
const std::string& TestPlugInBundle() {
  static TempDir* dir = new TempDir;
  static const std::string bundle = MakeBundle(dir->path(), "PlugInTest", TestPlugInPlist());
  return bundle;
}

CFUUIDRef Uuid(const char* text) { return CFUUIDCreateFromString(nullptr, text); }

std::vector<std::string> Texts(const std::vector<CFUUIDRef>& uuids) {
  std::vector<std::string> texts;
  for (const CFUUIDRef& uuid : uuids) texts.push_back(CFUUIDCreateString(nullptr, uuid));
  return texts;
}

TEST(CFPlugInTest, ReadsTheDeclarations) {
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
  EXPECT_FALSE(CFPlugInIsLoaded(plugIn));
  EXPECT_FALSE(CFPlugInIsLoaded(nullptr));

  EXPECT_EQ(Texts(CFPlugInFindFactoriesForPlugInTypeInPlugIn(Uuid(kPlugInTestTypeA), plugIn)),
            std::vector<std::string>{kPlugInTestFactory});
  EXPECT_EQ(Texts(CFPlugInFindFactoriesForPlugInTypeInPlugIn(Uuid(kPlugInTestTypeB), plugIn)),
            (std::vector<std::string>{kPlugInTestMissingFactory, kPlugInTestFactory}));
  EXPECT_TRUE(CFPlugInFindFactoriesForPlugInTypeInPlugIn(Uuid(kPlugInTestFactory), plugIn).empty());
  EXPECT_TRUE(CFPlugInFindFactoriesForPlugInTypeInPlugIn(nullptr, plugIn).empty());
  EXPECT_TRUE(CFPlugInFindFactoriesForPlugInTypeInPlugIn(Uuid(kPlugInTestTypeA), nullptr).empty());
  EXPECT_EQ(Texts(CFPlugInFindFactoriesForPlugInType(Uuid(kPlugInTestTypeA))),
            std::vector<std::string>{kPlugInTestFactory});
  // Reading declarations loads no code.
  EXPECT_FALSE(CFPlugInIsLoaded(plugIn));
}

TEST(CFPlugInTest, InstancesAreCountedAcrossTheLibraryCopies) {
  const CFPlugInRef plugIn = CFPlugInCreate(nullptr, TestPlugInBundle());
  ASSERT_NE(plugIn, nullptr);
  const CFUUIDRef factory = Uuid(kPlugInTestFactory);
  const CFUUIDRef typeA = Uuid(kPlugInTestTypeA);
  EXPECT_EQ(CFPlugInGetInstanceCountForFactory(factory), 0u);

  // The wrong type makes nothing and registers nothing.
  std::string error;
  EXPECT_EQ(CFPlugInInstanceCreate(nullptr, factory, Uuid(kPlugInTestTypeB), &error), nullptr);
  EXPECT_EQ(error, std::string("factory ") + kPlugInTestFactory + " makes no instance of type " +
                       kPlugInTestTypeB);
  EXPECT_EQ(CFPlugInGetInstanceCountForFactory(factory), 0u);
  EXPECT_TRUE(CFPlugInIsLoaded(plugIn));

  int allocatorToken = 0;
  void* first = CFPlugInInstanceCreate(&allocatorToken, factory, typeA, &error);
  ASSERT_NE(first, nullptr) << error;
  EXPECT_EQ(PlugInTestTable(first).Allocator(first), &allocatorToken);
  EXPECT_EQ(CFPlugInGetInstanceCountForFactory(factory), 1u);
  // The plug-in counted with its own copy of the library, in the host's registry.
  EXPECT_EQ(PlugInTestTable(first).CountSeenByPlugIn(first), 1u);

  void* second = CFPlugInInstanceCreate(nullptr, factory, typeA);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(second, first);
  EXPECT_EQ(CFPlugInGetInstanceCountForFactory(factory), 2u);

  EXPECT_EQ(PlugInTestTable(first).AddRef(first), 2u);
  EXPECT_EQ(PlugInTestTable(first).Release(first), 1u);
  EXPECT_EQ(CFPlugInGetInstanceCountForFactory(factory), 2u);
  EXPECT_EQ(PlugInTestTable(first).Release(first), 0u);
  EXPECT_EQ(CFPlugInGetInstanceCountForFactory(factory), 1u);
  EXPECT_EQ(PlugInTestTable(second).CountSeenByPlugIn(second), 1u);
  EXPECT_EQ(PlugInTestTable(second).Release(second), 0u);
  EXPECT_EQ(CFPlugInGetInstanceCountForFactory(factory), 0u);
  // The code stays loaded.
  EXPECT_TRUE(CFPlugInIsLoaded(plugIn));
}

TEST(CFPlugInTest, FactoriesThatCannotRun) {
  ASSERT_NE(CFPlugInCreate(nullptr, TestPlugInBundle()), nullptr);
  std::string error;
  EXPECT_EQ(CFPlugInInstanceCreate(nullptr, Uuid(kPlugInTestMissingFactory),
                                   Uuid(kPlugInTestTypeB), &error),
            nullptr);
  EXPECT_EQ(error, TestPlugInBundle() +
                       "/Contents/Linux/PlugInTest.so exports no function PlugInTestMissingFactory");

  const char* unknown = "01234567-89AB-CDEF-0123-456789ABCDEF";
  EXPECT_EQ(CFPlugInInstanceCreate(nullptr, Uuid(unknown), Uuid(kPlugInTestTypeA), &error),
            nullptr);
  EXPECT_EQ(error, std::string("no plug-in declares the factory ") + unknown);
  EXPECT_EQ(CFPlugInInstanceCreate(nullptr, nullptr, Uuid(kPlugInTestTypeA), &error), nullptr);
  EXPECT_EQ(error, "no factory or type given");
}

// The plist of a bundle whose one factory (under its own UUID) is the test
// plug-in's exported factory, with `executable` as CFBundleExecutable.
std::string PlistWithFactory(const std::string& factory, const std::string& executable) {
  return PlistWith(
      kIdentifier + Key("CFBundleExecutable", String(executable)) +
      Key("CFPlugInFactories", "<dict>" + Key(factory, String("PlugInTestFactory")) + "</dict>"));
}

TEST(CFPlugInTest, LoadsOnlyARegularFileInsideTheBundle) {
  TempDir dir;
  const char* factory = "11111111-2222-4333-8444-555555555555";
  struct Case {
    std::string name;
    std::string executable;
    // Makes the bundle's Contents/Linux/PlugInTest.so, or leaves it out.
    void (*makeCode)(const std::string& path);
    std::string error;  // After "<bundle>/Contents/"; empty: it lies outside.
  };
  const std::vector<Case> cases = {
      {"Missing", "PlugInTest.so", nullptr, "Linux/PlugInTest.so: No such file or directory"},
      {"Fifo", "PlugInTest.so",
       [](const std::string& path) { ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0); },
       "Linux/PlugInTest.so: not a regular file"},
      {"Folder", "PlugInTest.so", [](const std::string& path) { fs::create_directories(path); },
       "Linux/PlugInTest.so: not a regular file"},
      {"LinkLoop", "PlugInTest.so", [](const std::string& path) { fs::create_symlink(path, path); },
       "Linux/PlugInTest.so: Too many levels of symbolic links"},
      {"Climbs", "../Info.plist", nullptr, ""},
      {"ClimbsDeeper", "sub/../../../x.so", nullptr, ""},
      {"Absolute", "/bin/true", nullptr, ""},
  };
  for (const Case& test : cases) {
    const std::string bundle =
        MakeBundle(dir.path(), test.name, PlistWithFactory(factory, test.executable), false);
    if (test.makeCode != nullptr) test.makeCode(bundle + "/Contents/Linux/PlugInTest.so");
    std::string error;
    EXPECT_EQ(CFPlugInCreate(nullptr, bundle, &error), nullptr) << test.name;
    const std::string expected = test.error.empty()
                                     ? bundle + "/Contents/Info.plist: CFBundleExecutable \"" +
                                           test.executable + "\" lies outside the bundle"
                                     : "cannot load " + bundle + "/Contents/" + test.error;
    EXPECT_EQ(error, expected) << test.name;
  }
  // None of them claimed the factory.
  EXPECT_EQ(CFPlugInInstanceCreate(nullptr, Uuid(factory), Uuid(kPlugInTestTypeA)), nullptr);

  // Code that turns into a FIFO after the bundle was read is not loaded
  // either: loading it would wait for a writer for ever.
  const std::string swapped =
      MakeBundle(dir.path(), "Swapped", PlistWithFactory(factory, "PlugInTest.so"));
  std::string error;
  const CFPlugInRef plugIn = CFPlugInCreate(nullptr, swapped, &error);
  ASSERT_NE(plugIn, nullptr) << error;
  const std::string code = swapped + "/Contents/Linux/PlugInTest.so";
  fs::remove(code);
  ASSERT_EQ(::mkfifo(code.c_str(), 0600), 0);
  EXPECT_EQ(CFPlugInInstanceCreate(nullptr, Uuid(factory), Uuid(kPlugInTestTypeA), &error),
            nullptr);
  EXPECT_EQ(error, "cannot load " + code + ": not a regular file");
  EXPECT_FALSE(CFPlugInIsLoaded(plugIn));
}

TEST(CFPlugInTest, RefusesBundlesThatAreNotPlugIns) {
  TempDir dir;
  const std::string factories =
      Key("CFPlugInFactories", "<dict>" + Key(kPlugInTestFactory, String("F")) + "</dict>");
  struct Case {
    std::string name;
    std::string plist;
    std::string error;  // After "<bundle>/Contents/Info.plist".
  };
  const std::vector<Case> cases = {
      {"NoIdentifier", PlistWith(kExecutable + factories),
       " is unreadable or has no CFBundleIdentifier"},
      {"NoExecutable", PlistWith(kIdentifier + factories), " names no CFBundleExecutable"},
      {"NoFactories", PlistWith(kIdentifier + kExecutable),
       " has no CFPlugInFactories dictionary: not a plug-in"},
      {"FactoriesNotDict",
       PlistWith(kIdentifier + kExecutable + Key("CFPlugInFactories", "<array/>")),
       " has no CFPlugInFactories dictionary: not a plug-in"},
      {"BadFactoryUUID",
       PlistWith(kIdentifier + kExecutable +
                 Key("CFPlugInFactories", "<dict>" + Key("C0FFEE", String("F")) + "</dict>")),
       ": malformed factory UUID \"C0FFEE\""},
      {"NoFunction",
       PlistWith(kIdentifier + kExecutable +
                 Key("CFPlugInFactories",
                     "<dict>" + Key(kPlugInTestFactory, "<integer>1</integer>") + "</dict>")),
       std::string(": factory ") + kPlugInTestFactory + " names no function"},
      {"TypesNotDict", PlistWith(kIdentifier + kExecutable + factories +
                                 Key("CFPlugInTypes", "<array/>")),
       ": CFPlugInTypes is not a dictionary"},
      {"BadTypeUUID",
       PlistWith(kIdentifier + kExecutable + factories +
                 Key("CFPlugInTypes", "<dict>" + Key("type", "<array/>") + "</dict>")),
       ": malformed type UUID \"type\""},
      {"TypeNotArray",
       PlistWith(kIdentifier + kExecutable + factories +
                 Key("CFPlugInTypes",
                     "<dict>" + Key(kPlugInTestTypeA, String(kPlugInTestFactory)) + "</dict>")),
       std::string(": type ") + kPlugInTestTypeA + " has no array of factories"},
      {"TypeListsBadUUID",
       PlistWith(kIdentifier + kExecutable + factories +
                 Key("CFPlugInTypes",
                     "<dict>" + Key(kPlugInTestTypeA, "<array><true/></array>") + "</dict>")),
       std::string(": type ") + kPlugInTestTypeA + " lists a malformed factory UUID"},
      {"TypeListsUndeclared",
       PlistWith(kIdentifier + kExecutable + factories +
                 Key("CFPlugInTypes",
                     "<dict>" +
                         Key(kPlugInTestTypeA,
                             "<array>" + String(kPlugInTestMissingFactory) + "</array>") +
                         "</dict>")),
       std::string(": type ") + kPlugInTestTypeA + " lists the undeclared factory " +
           kPlugInTestMissingFactory},
  };
  for (const Case& test : cases) {
    const std::string bundle = MakeBundle(dir.path(), test.name, test.plist);
    std::string error;
    EXPECT_EQ(CFPlugInCreate(nullptr, bundle, &error), nullptr) << test.name;
    EXPECT_EQ(error, bundle + "/Contents/Info.plist" + test.error) << test.name;
  }

  std::string error;
  EXPECT_EQ(CFPlugInCreate(nullptr, dir.path() + "/Missing.plugin", &error), nullptr);
  EXPECT_EQ(error, "no bundle folder at " + dir.path() + "/Missing.plugin");
  fs::create_directories(dir.path() + "/Empty.plugin/Contents");
  EXPECT_EQ(CFPlugInCreate(nullptr, dir.path() + "/Empty.plugin", &error), nullptr);
  EXPECT_EQ(error, dir.path() + "/Empty.plugin has no Contents/Info.plist");
  const std::string garbage = MakeBundle(dir.path(), "Garbage", "not a plist", false);
  EXPECT_EQ(CFPlugInCreate(nullptr, garbage, &error), nullptr);
  EXPECT_EQ(error, garbage + "/Contents/Info.plist is unreadable or has no CFBundleIdentifier");
  EXPECT_EQ(CFPlugInCreate(nullptr, garbage), nullptr);  // No message asked for.
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

}  // namespace
