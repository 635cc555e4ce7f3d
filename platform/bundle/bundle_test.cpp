#include "platform/bundle/bundle.h"

#include <dlfcn.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>
#include <plist/plist.h>

#include "testing/test_support.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kPluginIdentifier = "com.corvane.KestrineCM";

using kestrine_testing::WriteFile;
using kestrine_testing::XmlPropertyList;
std::string Entry(const std::string& key, const std::string& value) {
  return "  <key>" + key + "</key>\n  <string>" + value + "</string>\n";
}

class BundleTest : public ::testing::Test {
 protected:
  BundleTest() { CFBundleForgetAllForTesting(); }
  ~BundleTest() override { CFBundleForgetAllForTesting(); }

  // Makes `name` under the temporary folder with an Info.plist of `body`.
  fs::path MakeBundle(const std::string& name, const std::string& plist) {
    const fs::path bundle = root_ / name;
    WriteFile(bundle / "Contents/Info.plist", plist);
    fs::create_directories(bundle / "Contents/Resources");
    return bundle;
  }

  kestrine_testing::ScopedTempDir temp_;
  const fs::path root_ = temp_.path();
};

TEST_F(BundleTest, CreateReadsThePlistAndMakesTheBundleKnown) {
  const fs::path folder =
      MakeBundle("KestrineCM.plugin", XmlPropertyList(Entry("CFBundleIdentifier", kPluginIdentifier) +
                                               Entry("CFBundleExecutable", "KestrineCM.so")));
  EXPECT_FALSE(CFBundleGetBundleWithIdentifier(kPluginIdentifier));
  EXPECT_FALSE(CFBundleGetBundleWithIdentifier(""));

  // A path with a trailing slash and a "." comes back canonical.
  std::optional<CFBundle> bundle = CFBundleCreate((root_ / "./KestrineCM.plugin/").string());
  ASSERT_TRUE(bundle);
  EXPECT_EQ(bundle->path, folder.string());
  EXPECT_EQ(bundle->identifier, kPluginIdentifier);
  EXPECT_EQ(bundle->executable, "KestrineCM.so");
  EXPECT_EQ(CFBundleCopyResourcesDirectoryURL(*bundle), folder.string() + "/Contents/Resources");
  EXPECT_EQ(CFBundleCopyExecutableURL(*bundle),
            folder.string() + "/Contents/Linux/KestrineCM.so");

  std::optional<CFBundle> known = CFBundleGetBundleWithIdentifier(kPluginIdentifier);
  ASSERT_TRUE(known);
  EXPECT_EQ(known->path, folder.string());
  EXPECT_FALSE(CFBundleGetBundleWithIdentifier("com.corvane.Other"));

  CFBundleForgetAllForTesting();
  EXPECT_FALSE(CFBundleGetBundleWithIdentifier(kPluginIdentifier));
}

TEST_F(BundleTest, RelativePathIsMadeAbsoluteAndLaterCreateReplaces) {
  const fs::path first = MakeBundle("A.plugin", XmlPropertyList(Entry("CFBundleIdentifier", "x.y")));
  const fs::path second = MakeBundle("B.plugin", XmlPropertyList(Entry("CFBundleIdentifier", "x.y")));
  const fs::path saved = fs::current_path();
  fs::current_path(root_);
  std::optional<CFBundle> bundle = CFBundleCreate("A.plugin");
  fs::current_path(saved);
  ASSERT_TRUE(bundle);
  EXPECT_EQ(bundle->path, first.string());
  EXPECT_FALSE(bundle->executable);
  EXPECT_FALSE(CFBundleCopyExecutableURL(*bundle));

  ASSERT_TRUE(CFBundleCreate(second.string()));
  EXPECT_EQ(CFBundleGetBundleWithIdentifier("x.y")->path, second.string());
}

TEST_F(BundleTest, CreateFailsWithoutAUsablePlist) {
  EXPECT_FALSE(CFBundleCreate(""));
  EXPECT_FALSE(CFBundleCreate((root_ / "Missing.plugin").string()));
  fs::create_directories(root_ / "Empty.plugin/Contents");
  EXPECT_FALSE(CFBundleCreate((root_ / "Empty.plugin").string()));
  const fs::path plain_file = root_ / "File.plugin";
  WriteFile(plain_file, XmlPropertyList(Entry("CFBundleIdentifier", "file")));
  EXPECT_FALSE(CFBundleCreate(plain_file.string()));

  const std::pair<const char*, std::string> broken[] = {
      {"NoIdentifier.plugin", XmlPropertyList(Entry("CFBundleExecutable", "a.so"))},
      {"NumberIdentifier.plugin",
       XmlPropertyList("  <key>CFBundleIdentifier</key>\n  <integer>7</integer>\n")},
      {"Malformed.plugin", "<?xml version=\"1.0\"?>\n<plist><dict><key>CFBundleIdentifier"},
      {"NotADictionary.plugin",
       "<?xml version=\"1.0\"?>\n<plist version=\"1.0\"><array><string>a</string></array></plist>"},
      {"EmptyPlist.plugin", ""},
  };
  for (const auto& [name, plist] : broken) {
    EXPECT_FALSE(CFBundleCreate(MakeBundle(name, plist).string())) << name;
  }
  // A folder where the plist should be cannot be read by anyone, root too.
  fs::create_directories(root_ / "Unreadable.plugin/Contents/Info.plist");
  EXPECT_FALSE(CFBundleCreate((root_ / "Unreadable.plugin").string()));
  // The executable entry is optional, but must be a string to count.
  const fs::path odd = MakeBundle(
      "Odd.plugin", XmlPropertyList(Entry("CFBundleIdentifier", "odd") +
                             "  <key>CFBundleExecutable</key>\n  <true/>\n"));
  std::optional<CFBundle> bundle = CFBundleCreate(odd.string());
  ASSERT_TRUE(bundle);
  EXPECT_FALSE(bundle->executable);
}

TEST_F(BundleTest, BinaryPlistIsRead) {
  plist_t dictionary = plist_new_dict();
  plist_dict_set_item(dictionary, "CFBundleIdentifier", plist_new_string("binary.id"));
  plist_dict_set_item(dictionary, "CFBundleExecutable", plist_new_string("b.so"));
  char* bytes = nullptr;
  uint32_t length = 0;
  plist_to_bin(dictionary, &bytes, &length);
  plist_free(dictionary);
  ASSERT_NE(bytes, nullptr);
  const fs::path folder = MakeBundle("Binary.plugin", std::string(bytes, length));
  free(bytes);
  std::optional<CFBundle> bundle = CFBundleCreate(folder.string());
  ASSERT_TRUE(bundle);
  EXPECT_EQ(bundle->identifier, "binary.id");
  EXPECT_EQ(bundle->executable, "b.so");
}

// The plug-in's shared object, placed in a bundle, finds that bundle by its
// own location; the same file outside a bundle finds none.
TEST_F(BundleTest, SharedObjectInsideABundleKnowsItsBundle) {
  const fs::path bundle = MakeBundle(
      "KestrineCM.plugin", XmlPropertyList(Entry("CFBundleIdentifier", kPluginIdentifier) +
                                    Entry("CFBundleExecutable", "KestrineCM.so")));
  const fs::path inside = bundle / "Contents/Linux/KestrineCM.so";
  const fs::path outside = root_ / "loose/KestrineCM.so";
  fs::create_directories(inside.parent_path());
  fs::create_directories(outside.parent_path());
  fs::copy_file(BUNDLE_TEST_PLUGIN, inside);
  fs::copy_file(BUNDLE_TEST_PLUGIN, outside);

  using Find = bool (*)(const char*, char*, char*, std::size_t);
  char path[4096];
  char resources[4096];

  void* plugin = dlopen(inside.c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(plugin, nullptr) << dlerror();
  auto find = reinterpret_cast<Find>(dlsym(plugin, "BundleTestPluginFind"));
  ASSERT_NE(find, nullptr);
  ASSERT_TRUE(find(kPluginIdentifier, path, resources, sizeof path));
  EXPECT_EQ(std::string(path), bundle.string());
  EXPECT_EQ(std::string(resources), bundle.string() + "/Contents/Resources");
  EXPECT_FALSE(find("com.corvane.Other", path, resources, sizeof path));
  // The program that loaded the plug-in does not know its bundle.
  EXPECT_FALSE(CFBundleGetBundleWithIdentifier(kPluginIdentifier));
  dlclose(plugin);

  void* loose = dlopen(outside.c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(loose, nullptr) << dlerror();
  auto loose_find = reinterpret_cast<Find>(dlsym(loose, "BundleTestPluginFind"));
  ASSERT_NE(loose_find, nullptr);
  EXPECT_FALSE(loose_find(kPluginIdentifier, path, resources, sizeof path));
  dlclose(loose);
}

// Runs `program` with `identifier` and returns what it prints.
std::string RunProgram(const fs::path& program, const std::string& identifier) {
  const kestrine_testing::RunResult result = kestrine_testing::RunProgram({program, identifier});
  return result.exitStatus == 0 ? result.out : "failed: " + result.out + result.err;
}

// A program inside a bundle knows that bundle; the same program elsewhere
// knows none.
TEST_F(BundleTest, MainProgramInsideABundleKnowsItsBundle) {
  const fs::path bundle = MakeBundle(
      "KestrineMBI.app", XmlPropertyList(Entry("CFBundleIdentifier", "com.corvane.KestrineMBI")));
  const fs::path inside = bundle / "Contents/Linux/KestrineMBI";
  const fs::path outside = root_ / "KestrineMBI";
  fs::create_directories(inside.parent_path());
  fs::copy_file(BUNDLE_TEST_PROGRAM, inside);
  fs::copy_file(BUNDLE_TEST_PROGRAM, outside);

  EXPECT_EQ(RunProgram(inside, "com.corvane.KestrineMBI"), bundle.string());
  EXPECT_EQ(RunProgram(inside, kPluginIdentifier), "");
  EXPECT_EQ(RunProgram(outside, "com.corvane.KestrineMBI"), "");
  // Started through a link from outside, it still finds its bundle.
  fs::create_symlink(inside, root_ / "link");
  EXPECT_EQ(RunProgram(root_ / "link", "com.corvane.KestrineMBI"), bundle.string());
}

}  // namespace
