#include "engine/path_forms.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/files/launch_services.h"
#include "platform/preferences/preferences.h"
#include "settings/settings.h"
#include "testing/test_support.h"

namespace {

using kestrine_testing::ScopedUser;
using kestrine_testing::WriteFile;
using kestrine_testing::MakeDirs;

struct Rendering {
  std::int32_t length;
  std::string text;
};

Rendering Render(const FSRef& ref, std::int32_t id, std::size_t capacity = kRenderBufferSize) {
  std::string buffer(capacity, 'x');
  const std::int32_t length = get_clipboard_data(ref, buffer.data(), capacity, id);
  return {length, std::string(buffer.c_str())};
}

FSRef RefTo(const std::string& path) {
  FSRef ref{};
  EXPECT_EQ(FSPathMakeRef(path, &ref), noErr) << path;
  return ref;
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

TEST_F(PathFormsTest, IDsWithoutASingleFormRenderNothing) {
  const FSRef ref = RefTo(MakeFile("a.txt"));
  for (std::int32_t id : {0, 10, 11, 13, 999, -1, -2000}) {
    const Rendering r = Render(ref, id);
    EXPECT_EQ(r.length, 0) << id;
    EXPECT_EQ(r.text, "") << id;
  }
}

TEST_F(PathFormsTest, PosixPathWithAndWithoutLabel) {
  const std::string path = MakeFile("Documents/Plan.txt");
  const FSRef ref = RefTo(path);
  Rendering r = Render(ref, kCopyPosixPath);
  EXPECT_EQ(r.text, path);
  EXPECT_EQ(r.length, static_cast<std::int32_t>(path.size()));

  SetLabels(true);
  r = Render(ref, kCopyPosixPath);
  EXPECT_EQ(r.text, "Mac Path: " + path);
  EXPECT_EQ(r.length, static_cast<std::int32_t>(path.size() + 10));
}

TEST_F(PathFormsTest, EveryFormCarriesItsLabel) {
  const std::string path = MakeFile("Plan.txt");
  const FSRef ref = RefTo(path);
  SetLabels(true);
  for (const SingleForm& form : kSingleForms) {
    const Rendering r = Render(ref, form.commandID);
    EXPECT_TRUE(r.text.starts_with(form.label)) << form.title << ": " << r.text;
    EXPECT_GT(r.text.size(), form.label.size()) << form.title;
  }
}

TEST_F(PathFormsTest, CapacityNeverCutsText) {
  const std::string path = MakeFile("cap.txt");
  const FSRef ref = RefTo(path);
  EXPECT_EQ(Render(ref, kCopyPosixPath, path.size()).length, 0);
  EXPECT_EQ(Render(ref, kCopyPosixPath, path.size()).text, "");
  EXPECT_EQ(Render(ref, kCopyPosixPath, path.size() + 1).text, path);

  SetLabels(true);
  // The path fits, the labelled text does not.
  const Rendering r = Render(ref, kCopyPosixPath, path.size() + 5);
  EXPECT_EQ(r.length, 0);
  EXPECT_EQ(r.text, "");
  EXPECT_EQ(Render(ref, kCopyPosixPath, path.size() + 11).length,
            static_cast<std::int32_t>(path.size() + 10));
  // Every form gives nothing rather than a part when the buffer is tiny.
  for (const SingleForm& form : kSingleForms) {
    const Rendering tiny = Render(ref, form.commandID, 4);
    EXPECT_EQ(tiny.length, 0) << form.title;
    EXPECT_EQ(tiny.text, "") << form.title;
  }
}

TEST_F(PathFormsTest, TerminalPathEscapesBlanksOnly) {
  const std::string dir = user_.home() + "/My Files";
  const std::string path = MakeFile("My Files/My File (1) & 'x' $y.txt");
  const Rendering r = Render(RefTo(path), kCopyTerminalPath);
  EXPECT_EQ(r.text, user_.home() + "/My\\ Files/My\\ File\\ (1)\\ &\\ 'x'\\ $y.txt");
}

TEST_F(PathFormsTest, EncodedPosixPath) {
  const FSRef resume = RefTo(MakeFile("My Files/Résumé.txt"));
  EXPECT_EQ(Render(resume, kCopyEncodedPosixPath).text,
            user_.home() + "/My%20Files/R%C3%A9sum%C3%A9.txt");
  // A lone "%" cannot be decoded, so the form fails.
  EXPECT_EQ(Render(RefTo(MakeFile("50% off.txt")), kCopyEncodedPosixPath).length, 0);
  // An escape in a name is decoded before escaping.
  EXPECT_EQ(Render(RefTo(MakeFile("%41.txt")), kCopyEncodedPosixPath).text,
            user_.home() + "/A.txt");
  // A blank at the end of the last name is trimmed away.
  EXPECT_EQ(Render(RefTo(MakeFile("end ")), kCopyEncodedPosixPath).text, user_.home() + "/end");
  // Reserved characters stay, the rest is escaped.
  EXPECT_EQ(Render(RefTo(MakeFile("a;b?c:d@e&f=g+h$i,j#k[l]\"q\\r\tt")), kCopyEncodedPosixPath).text,
            user_.home() + "/a;b?c:d@e&f=g+h$i,j%23k%5Bl%5D%22q%5Cr%09t");
}

TEST_F(PathFormsTest, EncodeStringTrimmingWhitespace) {
  EXPECT_EQ(EncodeStringTrimmingWhitespace("  /a b/\n"), "/a%20b/");
  EXPECT_EQ(EncodeStringTrimmingWhitespace("/x%2"), std::nullopt);
  EXPECT_EQ(EncodeStringTrimmingWhitespace("/x%zz"), std::nullopt);
  // Escaped bytes that are not UTF-8 fail the decoding step.
  EXPECT_EQ(EncodeStringTrimmingWhitespace("/x%FF"), std::nullopt);
  EXPECT_EQ(EncodeStringTrimmingWhitespace("/%C3%A9"), "/%C3%A9");
  EXPECT_EQ(EncodeStringTrimmingWhitespace("/-_.!~*'()"), "/-_.!~*'()");
  EXPECT_EQ(EncodeStringTrimmingWhitespace("\xff"), std::nullopt);
}

TEST_F(PathFormsTest, TildePath) {
  EXPECT_EQ(Render(RefTo(MakeFile("Documents/Plan.txt")), kCopyTildePosixPath).text,
            "~/Documents/Plan.txt");
  EXPECT_EQ(Render(RefTo(user_.home()), kCopyTildePosixPath).text, "~");
  EXPECT_EQ(Render(RefTo("/"), kCopyTildePosixPath).text, "/");
  // A sibling whose name starts like the home folder is not inside it.
  const std::string sibling = user_.root() + "/home2";
  MakeDirs(sibling);
  EXPECT_EQ(Render(RefTo(sibling), kCopyTildePosixPath).text, sibling);
  // The abbreviated text must fit the caller's buffer, the full path need not.
  const std::string path = MakeFile("t.txt");
  EXPECT_EQ(Render(RefTo(path), kCopyTildePosixPath, 8).text, "~/t.txt");
}

TEST_F(PathFormsTest, NamesAndExtensions) {
  const FSRef archive = RefTo(MakeFile("archive.tar.gz"));
  EXPECT_EQ(Render(archive, kCopyFilename).text, "archive.tar.gz");
  EXPECT_EQ(Render(archive, kCopyDisplayFilename).text, "archive.tar.gz");
  EXPECT_EQ(Render(archive, kCopyExtension).text, "gz");
  EXPECT_EQ(CopyNameExtension(archive), "gz");

  const FSRef readme = RefTo(MakeFile("README"));
  EXPECT_EQ(Render(readme, kCopyExtension).length, 0);
  EXPECT_EQ(CopyNameExtension(readme), std::nullopt);
  SetLabels(true);
  EXPECT_EQ(Render(readme, kCopyExtension).text, "");
  EXPECT_EQ(Render(archive, kCopyExtension).text, "Extension: gz");
}

TEST_F(PathFormsTest, NamesWithControlCharactersAndQuotes) {
  const std::string name = "line\nfeed\ttab \"q\" 'a' back\\slash %.txt";
  const std::string path = MakeFile(name);
  const FSRef ref = RefTo(path);
  EXPECT_EQ(Render(ref, kCopyPosixPath).text, path);
  EXPECT_EQ(Render(ref, kCopyFilename).text, name);
  EXPECT_EQ(Render(ref, kCopyTerminalPath).text,
            user_.home() + "/line\nfeed\ttab\\ \"q\"\\ 'a'\\ back\\slash\\ %.txt");
  EXPECT_EQ(Render(ref, kCopyUNCWindowsStylePath).text.substr(0, 1), "\\");
}

TEST_F(PathFormsTest, NamesThatAreNotUTF8RenderNothingAsText) {
  const std::string path = MakeFile("bad\xff\xfe.txt");
  const FSRef ref = RefTo(path);
  for (std::int32_t id : {kCopyPosixPath, kCopyEncodedPosixPath, kCopyTildePosixPath,
                          kCopyTerminalPath, kCopyHFSPath, kCopyFilename, kCopyExtension,
                          kCopyUNCWindowsStylePath}) {
    const Rendering r = Render(ref, id);
    EXPECT_EQ(r.length, 0) << id;
    EXPECT_EQ(r.text, "") << id;
  }
  // The display name is made valid for display.
  EXPECT_EQ(Render(ref, kCopyDisplayFilename).text, "bad\xEF\xBF\xBD\xEF\xBF\xBD.txt");
}

TEST_F(PathFormsTest, UNCWindowsStylePath) {
  EXPECT_EQ(MakeUNCWindowsStyleText("/Volumes/Share/Plans/a.txt"), "\\\\Share\\Plans\\a.txt");
  EXPECT_EQ(MakeUNCWindowsStyleText("/Volumes/Share/a b/c.txt"), "\\\\Share\\a b\\c.txt");
  EXPECT_EQ(MakeUNCWindowsStyleText("/Volumes"), "\\");
  EXPECT_EQ(MakeUNCWindowsStyleText("/VolumesX/a"), "\\X\\a");
  EXPECT_EQ(MakeUNCWindowsStyleText("/Users/ann/a.txt"), "\\Users\\ann\\a.txt");

  const std::string path = MakeFile("a b.txt");
  const FSRef ref = RefTo(path);
  std::string expected = path;
  std::replace(expected.begin(), expected.end(), '/', '\\');
  EXPECT_EQ(Render(ref, kCopyUNCWindowsStylePath).text, expected);
  SetLabels(true);
  EXPECT_EQ(Render(ref, kCopyUNCWindowsStylePath).text, "PC Path: " + expected);
  char buffer[kRenderBufferSize];
  EXPECT_EQ(GetUNCWindowsStylePathWithoutLabel(ref, buffer, sizeof buffer),
            static_cast<std::int32_t>(expected.size()));
  EXPECT_EQ(std::string(buffer), expected);
}

TEST_F(PathFormsTest, HFSPath) {
  const std::string file = MakeFile("Documents/Plan.txt");
  const std::string hfs = Render(RefTo(file), kCopyHFSPath).text;
  EXPECT_TRUE(hfs.ends_with(":home:Documents:Plan.txt")) << hfs;
  EXPECT_EQ(hfs.find('/'), std::string::npos) << hfs;
  const std::string folder = Render(RefTo(user_.home() + "/Documents"), kCopyHFSPath).text;
  EXPECT_TRUE(folder.ends_with(":home:Documents:")) << folder;
  const std::string colon = Render(RefTo(MakeFile("a:b")), kCopyHFSPath).text;
  EXPECT_TRUE(colon.ends_with(":home:a/b")) << colon;
}

TEST_F(PathFormsTest, VolumeURLIsTheSameForItemsOnOneVolume) {
  const Rendering a = Render(RefTo(MakeFile("one.txt")), kCopyAFPURL);
  const Rendering b = Render(RefTo(MakeFile("sub/two.txt")), kCopyAFPURL);
  EXPECT_GT(a.length, 0);
  EXPECT_EQ(a.text, b.text);
  EXPECT_TRUE(a.text.find("://") != std::string::npos) << a.text;
  EXPECT_TRUE(a.text.ends_with("/")) << a.text;
  SetLabels(true);
  EXPECT_EQ(Render(RefTo(MakeFile("one.txt")), kCopyAFPURL).text, "AFP URL: " + a.text);
}

TEST_F(PathFormsTest, DeletedItemsRenderNothingButTheVolumeMessage) {
  const std::string path = MakeFile("gone.txt");
  const FSRef ref = RefTo(path);
  ASSERT_EQ(::unlink(path.c_str()), 0);
  for (const SingleForm& form : kSingleForms) {
    if (form.commandID == kCopyAFPURL) continue;
    const Rendering r = Render(ref, form.commandID);
    EXPECT_EQ(r.length, 0) << form.title;
    EXPECT_EQ(r.text, "") << form.title;
  }
  for (bool labels : {false, true}) {
    SetLabels(labels);
    const Rendering r = Render(ref, kCopyAFPURL);
    EXPECT_EQ(r.text, "AFP Path Could Not Be Retrieved");
    EXPECT_EQ(r.length, 31);
  }
  EXPECT_EQ(Render(ref, kCopyAFPURL, 31).length, 0);
}

TEST_F(PathFormsTest, NullOrEmptyBufferRendersNothing) {
  const FSRef ref = RefTo(MakeFile("a.txt"));
  EXPECT_EQ(get_clipboard_data(ref, nullptr, 100, kCopyPosixPath), 0);
  char one = 'x';
  EXPECT_EQ(get_clipboard_data(ref, &one, 0, kCopyPosixPath), 0);
  EXPECT_EQ(one, 'x');
  FSRef zero{};
  EXPECT_EQ(Render(zero, kCopyPosixPath).length, 0);
  EXPECT_EQ(Render(zero, kCopyAFPURL).text, "AFP Path Could Not Be Retrieved");
}

}  // namespace
