#include "engine/path_forms.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "platform/files/files_test_support.h"
#include "platform/preferences/preferences.h"
#include "settings/settings.h"
#include "testing/test_support.h"

namespace {

using files_testing::RefOf;
using kestrine_testing::ScopedUser;
using kestrine_testing::WriteFile;

// What get_clipboard_data returned and left in the buffer; {} is nothing.
struct Rendering {
  std::int32_t length = 0;
  std::string text;
  bool operator==(const Rendering&) const = default;
  friend void PrintTo(const Rendering& r, std::ostream* os) { *os << r.length << " \"" << r.text << '"'; }
};

// A complete rendering of `text`.
Rendering Text(std::string text) { return {static_cast<std::int32_t>(text.size()), std::move(text)}; }

Rendering Render(const FSRef& ref, std::int32_t id, std::size_t capacity = kRenderBufferSize) {
  std::string buffer(capacity, 'x');
  const std::int32_t length = get_clipboard_data(ref, buffer.data(), capacity, id);
  return {length, std::string(buffer.c_str())};
}

std::string Backslashed(std::string path) {
  std::ranges::replace(path, '/', '\\');
  return path;
}

class PathFormsTest : public ::testing::Test {
 protected:
  void SetLabels(bool on) {
    user_.WriteSettings(on ? "<key>LabelItems</key><true/>" : "");
    CFPreferencesAppSynchronize(kKestrineDomain);
  }
  // A file below the temporary home folder.
  std::string MakeFile(const std::string& relative) {
    const std::string path = user_.home() + "/" + relative;
    WriteFile(path, "data");
    return path;
  }

  ScopedUser user_;
};

TEST_F(PathFormsTest, SingleFormsOfOneItem) {
  const std::string h = user_.home(), cap = h + "/cap.txt";
  const std::string odd = "line\nfeed\ttab \"q\" 'a' back\\slash %.txt";
  struct Case {
    std::string item;  // A file made below the home folder.
    std::int32_t id;
    std::string expected;
    bool labels = false;
    std::size_t capacity = kRenderBufferSize;
  };
  for (const Case& c : std::vector<Case>{
           {"Documents/Plan.txt", kCopyPosixPath, h + "/Documents/Plan.txt"},
           {"Documents/Plan.txt", kCopyPosixPath, "Mac Path: " + h + "/Documents/Plan.txt", true},
           // Never a cut text: the path fits, then the labelled text does not.
           {"cap.txt", kCopyPosixPath, "", false, cap.size()},
           {"cap.txt", kCopyPosixPath, cap, false, cap.size() + 1},
           {"cap.txt", kCopyPosixPath, "", true, cap.size() + 5},
           {"cap.txt", kCopyPosixPath, "Mac Path: " + cap, true, cap.size() + 11},
           // Only blanks are escaped for the Terminal.
           {"My Files/My File (1) & 'x' $y.txt", kCopyTerminalPath,
            h + "/My\\ Files/My\\ File\\ (1)\\ &\\ 'x'\\ $y.txt"},
           {odd, kCopyTerminalPath, h + "/line\nfeed\ttab\\ \"q\"\\ 'a'\\ back\\slash\\ %.txt"},
           {odd, kCopyFilename, odd},
           {"My Files/Résumé.txt", kCopyEncodedPosixPath, h + "/My%20Files/R%C3%A9sum%C3%A9.txt"},
           // Reserved characters stay.
           {"a;b?c:d@e&f=g+h$i,j#k[l]\"q\\r\tt", kCopyEncodedPosixPath,
            h + "/a;b?c:d@e&f=g+h$i,j%23k%5Bl%5D%22q%5Cr%09t"},
           {"Documents/Plan.txt", kCopyTildePosixPath, "~/Documents/Plan.txt"},
           // The abbreviated text must fit the caller's buffer, the path need not.
           {"t.txt", kCopyTildePosixPath, "~/t.txt", false, 8},
           {"archive.tar.gz", kCopyFilename, "archive.tar.gz"},
           {"archive.tar.gz", kCopyDisplayFilename, "archive.tar.gz"},
           {"archive.tar.gz", kCopyExtension, "gz"},
           {"archive.tar.gz", kCopyExtension, "Extension: gz", true},
           {"README", kCopyExtension, ""},
           {"README", kCopyExtension, "", true},
           {"a b.txt", kCopyUNCWindowsStylePath, Backslashed(h + "/a b.txt")},
           {"a b.txt", kCopyUNCWindowsStylePath, "PC Path: " + Backslashed(h + "/a b.txt"), true},
       }) {
    SCOPED_TRACE(c.item + " as " + std::to_string(c.id));
    SetLabels(c.labels);
    EXPECT_EQ(Render(RefOf(MakeFile(c.item)), c.id, c.capacity), Text(c.expected));
  }
}

TEST_F(PathFormsTest, NothingRendersRatherThanAWrongOrCutText) {
  const FSRef ref = RefOf(MakeFile("a.txt"));
  for (std::int32_t id : {0, 10, 11, 13, 999, -1, -2000}) EXPECT_EQ(Render(ref, id), Rendering{}) << id;
  EXPECT_EQ(get_clipboard_data(ref, nullptr, 100, kCopyPosixPath), 0);
  char one = 'x';
  EXPECT_EQ(get_clipboard_data(ref, &one, 0, kCopyPosixPath), 0);
  EXPECT_EQ(one, 'x');
  // Only the display name makes such a name valid.
  const FSRef bad = RefOf(MakeFile("bad\xff\xfe.txt"));
  for (std::int32_t id : {kCopyPosixPath, kCopyEncodedPosixPath, kCopyTildePosixPath, kCopyTerminalPath,
                          kCopyHFSPath, kCopyFilename, kCopyExtension, kCopyUNCWindowsStylePath}) {
    EXPECT_EQ(Render(bad, id), Rendering{}) << id;
  }
  SetLabels(true);
  for (const SingleForm& form : kSingleForms) {
    const Rendering r = Render(ref, form.commandID);
    EXPECT_TRUE(r.text.starts_with(form.label) && r.text.size() > form.label.size()) << form.title << ": " << r.text;
    EXPECT_EQ(Render(ref, form.commandID, 4), Rendering{}) << form.title;
  }
}

TEST(PathFormsTextTest, EncodingAndUNCSteps) {
  EXPECT_EQ(EncodeStringTrimmingWhitespace("  /a b/\n"), "/a%20b/");
  EXPECT_EQ(EncodeStringTrimmingWhitespace("/x%2"), std::nullopt);
  EXPECT_EQ(EncodeStringTrimmingWhitespace("/x%zz"), std::nullopt);
  // Escaped bytes that are not UTF-8 fail the decoding step.
  EXPECT_EQ(EncodeStringTrimmingWhitespace("/x%FF"), std::nullopt);
  EXPECT_EQ(EncodeStringTrimmingWhitespace("/%C3%A9"), "/%C3%A9");
  EXPECT_EQ(EncodeStringTrimmingWhitespace("/-_.!~*'()"), "/-_.!~*'()");
  EXPECT_EQ(EncodeStringTrimmingWhitespace("\xff"), std::nullopt);
  EXPECT_EQ(MakeUNCWindowsStyleText("/Volumes/Share/Plans/a.txt"), "\\\\Share\\Plans\\a.txt");
  EXPECT_EQ(MakeUNCWindowsStyleText("/Volumes/Share/a b/c.txt"), "\\\\Share\\a b\\c.txt");
  EXPECT_EQ(MakeUNCWindowsStyleText("/Volumes"), "\\");
  EXPECT_EQ(MakeUNCWindowsStyleText("/VolumesX/a"), "\\X\\a");
}

// The rules of HFS paths and volume URLs are the platform's; here, that the
// forms use them.
TEST_F(PathFormsTest, HFSPathAndVolumeURL) {
  const std::string file = Render(RefOf(MakeFile("Documents/Plan.txt")), kCopyHFSPath).text;
  EXPECT_TRUE(file.ends_with(":home:Documents:Plan.txt") && file.find('/') == std::string::npos) << file;
  // The volume's URL is the same for items on one volume.
  const Rendering a = Render(RefOf(MakeFile("one.txt")), kCopyAFPURL);
  EXPECT_GT(a.length, 0);
  EXPECT_EQ(Render(RefOf(MakeFile("sub/two.txt")), kCopyAFPURL), a);
  EXPECT_TRUE(a.text.find("://") != std::string::npos && a.text.ends_with("/")) << a.text;
  SetLabels(true);
  EXPECT_EQ(Render(RefOf(MakeFile("one.txt")), kCopyAFPURL).text, "AFP URL: " + a.text);
}

TEST_F(PathFormsTest, DeletedItemsRenderNothingButTheVolumeMessage) {
  const std::string path = MakeFile("gone.txt");
  const FSRef ref = RefOf(path), zero{};
  ASSERT_EQ(::unlink(path.c_str()), 0);
  const Rendering message = Text("AFP Path Could Not Be Retrieved");
  for (bool labels : {false, true}) {
    SetLabels(labels);
    for (const SingleForm& form : kSingleForms) {
      EXPECT_EQ(Render(ref, form.commandID), form.commandID == kCopyAFPURL ? message : Rendering{}) << form.title;
    }
    EXPECT_EQ(Render(zero, kCopyPosixPath), Rendering{});
    EXPECT_EQ(Render(zero, kCopyAFPURL), message);
  }
  EXPECT_EQ(Render(ref, kCopyAFPURL, 31), Rendering{});
}

}  // namespace
