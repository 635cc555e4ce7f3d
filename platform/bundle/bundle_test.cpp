#include "platform/bundle/bundle.h"

#include <dlfcn.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>
#include <plist/plist.h>

#include "testing/test_support.h"

namespace {

namespace fs = std::filesystem;

using kestrine_testing::WriteFile;
using kestrine_testing::XmlPropertyList;

constexpr const char* kPluginIdentifier = "com.corvane.KestrineCM";
constexpr const char* kAppIdentifier = "com.corvane.KestrineMBI";

std::string Entry(const std::string& key, const std::string& value) {
  return "  <key>" + key + "</key>\n  <string>" + value + "</string>\n";
}
std::string Repeated(const std::string& piece, int times) {
  std::string text;
  for (int i = 0; i < times; ++i) text += piece;
  return text;
}
// An Info.plist with this identifier and further `entries`.
std::string Info(const std::string& identifier, const std::string& entries = "") {
  return XmlPropertyList(Entry("CFBundleIdentifier", identifier) + entries);
}

class BundleTest : public ::testing::Test {
 protected:
  BundleTest() { CFBundleForgetAllForTesting(); }
  ~BundleTest() override { CFBundleForgetAllForTesting(); }

  // Makes `name` under the temporary folder with an Info.plist of `plist`.
  fs::path MakeBundle(const std::string& name, const std::string& plist) {
    WriteFile(root_ / name / "Contents/Info.plist", plist);
    fs::create_directories(root_ / name / "Contents/Resources");
    return root_ / name;
  }

  kestrine_testing::ScopedTempDir temp_;
  const fs::path root_ = temp_.path();
};

TEST_F(BundleTest, CreateReadsThePlistAndMakesTheBundleKnown) {
  const fs::path folder =
      MakeBundle("KestrineCM.plugin", Info(kPluginIdentifier, Entry("CFBundleExecutable", "KestrineCM.so")));
  EXPECT_FALSE(CFBundleGetBundleWithIdentifier(kPluginIdentifier));
  EXPECT_FALSE(CFBundleGetBundleWithIdentifier(""));

  // A path with a trailing slash and a "." comes back canonical.
  std::optional<CFBundle> bundle = CFBundleCreate((root_ / "./KestrineCM.plugin/").string());
  ASSERT_TRUE(bundle);
  EXPECT_EQ(bundle->path, folder.string());
  EXPECT_EQ(bundle->identifier, kPluginIdentifier);
  EXPECT_EQ(bundle->executable, "KestrineCM.so");
  EXPECT_EQ(CFBundleCopyResourcesDirectoryURL(*bundle), folder.string() + "/Contents/Resources");
  EXPECT_EQ(CFBundleCopyExecutableURL(*bundle), folder.string() + "/Contents/Linux/KestrineCM.so");

  std::optional<CFBundle> known = CFBundleGetBundleWithIdentifier(kPluginIdentifier);
  ASSERT_TRUE(known);
  EXPECT_EQ(known->path, folder.string());
  EXPECT_FALSE(CFBundleGetBundleWithIdentifier("com.corvane.Other"));
  CFBundleForgetAllForTesting();
  EXPECT_FALSE(CFBundleGetBundleWithIdentifier(kPluginIdentifier));

  // A relative path is made absolute, and a later bundle with the same
  // identifier takes the place of the earlier one.
  const fs::path first = MakeBundle("A.plugin", Info("x.y"));
  const fs::path second = MakeBundle("B.plugin", Info("x.y"));
  const fs::path saved = fs::current_path();
  fs::current_path(root_);
  bundle = CFBundleCreate("A.plugin");
  fs::current_path(saved);
  ASSERT_TRUE(bundle);
  EXPECT_EQ(bundle->path, first.string());
  EXPECT_FALSE(bundle->executable);
  EXPECT_FALSE(CFBundleCopyExecutableURL(*bundle));
  ASSERT_TRUE(CFBundleCreate(second.string()));
  EXPECT_EQ(CFBundleGetBundleWithIdentifier("x.y")->path, second.string());
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

TEST_F(BundleTest, CreateFailsWithoutAUsablePlist) {
  EXPECT_FALSE(CFBundleCreate(""));
  EXPECT_FALSE(CFBundleCreate((root_ / "Missing.plugin").string()));
  fs::create_directories(root_ / "Empty.plugin/Contents");
  EXPECT_FALSE(CFBundleCreate((root_ / "Empty.plugin").string()));
  WriteFile(root_ / "File.plugin", Info("file"));
  EXPECT_FALSE(CFBundleCreate((root_ / "File.plugin").string()));
  // A folder where the plist should be cannot be read by anyone, root too.
  fs::create_directories(root_ / "Unreadable.plugin/Contents/Info.plist");
  EXPECT_FALSE(CFBundleCreate((root_ / "Unreadable.plugin").string()));
  const std::pair<const char*, std::string> broken[] = {
      {"NumberIdentifier.plugin", XmlPropertyList("  <key>CFBundleIdentifier</key>\n  <integer>7</integer>\n")},
      {"Malformed.plugin", "<?xml version=\"1.0\"?>\n<plist><dict><key>CFBundleIdentifier"},
      {"NotADictionary.plugin",
       "<?xml version=\"1.0\"?>\n<plist version=\"1.0\"><array><string>a</string></array></plist>"},
      {"EmptyPlist.plugin", ""},
      // Deep enough to exhaust the stack of a parser that recurses per level.
      {"Deep.plugin", Info("deep", "<key>a</key>" + Repeated("<array>", 300000) +
                                       Repeated("</array>", 300000))},
  };
  for (const auto& [name, plist] : broken) {
    EXPECT_FALSE(CFBundleCreate(MakeBundle(name, plist).string())) << name;
  }

  // The executable entry is optional, but must be a string to count.
  std::optional<CFBundle> odd =
      CFBundleCreate(MakeBundle("Odd.plugin", Info("odd", "<key>CFBundleExecutable</key><true/>")).string());
  ASSERT_TRUE(odd);
  EXPECT_FALSE(odd->executable);
}

// A plug-in's shared object, or a program, placed in a bundle finds that
// bundle by its own location; the same file outside a bundle finds none.
TEST_F(BundleTest, CodeInsideABundleKnowsItsBundle) {
  const fs::path plugin = MakeBundle("KestrineCM.plugin", Info(kPluginIdentifier));
  const fs::path app = MakeBundle("KestrineMBI.app", Info(kAppIdentifier));
  const fs::path library = plugin / "Contents/Linux/KestrineCM.so";
  const fs::path program = app / "Contents/Linux/KestrineMBI";
  for (const auto& [from, to] : {std::pair<fs::path, fs::path>{BUNDLE_TEST_PLUGIN, library},
                                 {BUNDLE_TEST_PLUGIN, root_ / "loose/KestrineCM.so"},
                                 {BUNDLE_TEST_PROGRAM, program},
                                 {BUNDLE_TEST_PROGRAM, root_ / "KestrineMBI"}}) {
    fs::create_directories(to.parent_path());
    fs::copy_file(from, to);
  }
  fs::create_symlink(program, root_ / "link");
  // What the code at `path` finds for `identifier`: a shared object is
  // loaded (and kept) by this process, a program is run.
  const auto find = [](const fs::path& path, const char* identifier) -> std::string {
    if (path.extension() != ".so") {
      const kestrine_testing::RunResult result = kestrine_testing::RunProgram({path, identifier});
      return result.exitStatus == 0 ? result.out : "failed: " + result.out + result.err;
    }
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) return dlerror();
    auto* report = reinterpret_cast<const char* (*)(const char*)>(dlsym(handle, "BundleTestFind"));
    return report != nullptr ? report(identifier) : "no BundleTestFind";
  };
  const struct { fs::path code; const char* identifier; std::string expected; } cases[] = {
      {library, kPluginIdentifier, plugin},
      {library, "com.corvane.Other", ""},
      {root_ / "loose/KestrineCM.so", kPluginIdentifier, ""},
      {program, kAppIdentifier, app},
      {program, kPluginIdentifier, ""},
      {root_ / "KestrineMBI", kAppIdentifier, ""},
      {root_ / "link", kAppIdentifier, app},  // Started through a link from outside.
  };
  for (const auto& c : cases) EXPECT_EQ(find(c.code, c.identifier), c.expected) << c.code << ": " << c.identifier;
  // The program that loaded the plug-in does not know its bundle.
  EXPECT_FALSE(CFBundleGetBundleWithIdentifier(kPluginIdentifier));
}

}  // namespace
