// End-to-end tests of the KestrineService program against real files and the
// per-user clipboard file.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "testing/test_support.h"

namespace {

// AddressSanitizer reserves terabytes of address space for its shadow, so
// its builds cannot run under an address-space limit.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif
#else
constexpr bool kAddressSanitizer = false;
#endif

using kestrine_testing::MakeDirs;
using kestrine_testing::ReadFile;
using kestrine_testing::RunOptions;
using kestrine_testing::RunProgram;
using kestrine_testing::RunProgramWith;
using kestrine_testing::RunResult;
using kestrine_testing::ScopedEnv;
using kestrine_testing::ScopedUser;
using kestrine_testing::WriteFile;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The text of a log line after its "Name[pid:tid] " prefix.
std::string LogText(const std::string& line) {
  const std::size_t end = line.find("] ");
  return end == std::string::npos ? line : line.substr(end + 2);
}

class KestrineServiceTest : public ::testing::Test {
 protected:
  RunResult Service(std::vector<std::string> args, const std::optional<std::string>& cwd = {}) {
    args.insert(args.begin(), KESTRINE_SERVICE_PATH);
    return RunProgram(args, cwd);
  }
  std::string File(const std::string& relative, std::string_view content = "x") {
    const std::string path = user_.home() + "/" + relative;
    WriteFile(path, content);
    return path;
  }
  std::string Folder(const std::string& relative) {
    const std::string path = user_.home() + "/" + relative;
    MakeDirs(path);
    return path;
  }

  ScopedUser user_;
};

TEST_F(KestrineServiceTest, CopiesPosixPathsJoinedByALineFeed) {
  const std::string a = File("a.txt");
  const std::string b = File("b c.txt");
  const RunResult r = Service({"Copy Posix Path", a, b});
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(user_.Clipboard(), a + "\n" + b);
}

TEST_F(KestrineServiceTest, LogsOneLineFirstOnEveryRequest) {
  const RunResult r = Service({"Copy Filename", File("a.txt")});
  const std::vector<std::string> lines = Lines(r.err);
  ASSERT_EQ(lines.size(), 1u) << r.err;
  EXPECT_EQ(LogText(lines[0]), "Copy All Paths");
  EXPECT_NE(lines[0].find("KestrineService["), std::string::npos) << lines[0];
}

TEST_F(KestrineServiceTest, RelativePathsComeFromTheCurrentFolder) {
  File("docs/one.txt");
  File("docs/two.txt");
  const RunResult r = Service({"Copy Tilde Posix Path", "one.txt", "./two.txt"},
                              user_.home() + "/docs");
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(user_.Clipboard(), "~/docs/one.txt\n~/docs/two.txt");
}

TEST_F(KestrineServiceTest, UnusableEntriesKeepTheirPosition) {
  const std::string b = File("b.txt");
  const std::string c = File("c.txt");
  Service({"Copy Filename", user_.home() + "/missing", b, c});
  EXPECT_EQ(user_.Clipboard(), "\nb.txt\nc.txt");
  Service({"Copy Filename", std::string("not-utf8-\xff"), b, c});
  EXPECT_EQ(user_.Clipboard(), "\nb.txt\nc.txt");
}

TEST_F(KestrineServiceTest, NothingRenderedLeavesTheClipboardEmpty) {
  user_.SetClipboard("old");
  Service({"Copy Extension", File("README")});
  EXPECT_EQ(user_.Clipboard(), std::nullopt);
  user_.SetClipboard("old");
  Service({"Copy Posix Path"});
  EXPECT_EQ(user_.Clipboard(), std::nullopt);
}

TEST_F(KestrineServiceTest, UnknownCommandLeavesTheClipboardUnchanged) {
  user_.SetClipboard("old");
  const RunResult r = Service({"copy posix path", File("a.txt")});
  EXPECT_EQ(r.exitStatus, 2);
  EXPECT_EQ(user_.Clipboard(), "old");
  EXPECT_NE(r.err.find("unknown command \"copy posix path\""), std::string::npos) << r.err;
  EXPECT_EQ(LogText(Lines(r.err).at(0)), "Copy All Paths");
}

TEST_F(KestrineServiceTest, MissingClipboardToolFailsLoudlyAndChangesNothing) {
  user_.SetClipboard("old");
  const std::string emptyBin = Folder("empty-bin");
  ScopedEnv display("DISPLAY", ":99");
  ScopedEnv path("PATH", emptyBin);
  const RunResult r = Service({"Copy Posix Path", File("a.txt")});
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(user_.Clipboard(), "old");
  EXPECT_NE(r.err.find("xclip"), std::string::npos) << r.err;
}

TEST_F(KestrineServiceTest, EveryCommandOnOneFile) {
  const std::string path = File("My Dir/Résumé 1.tar.gz");
  user_.WriteSettings("<key>LabelItems</key><true/>");
  std::string unc = path;
  std::replace(unc.begin(), unc.end(), '/', '\\');
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"Copy Posix Path", "Mac Path: " + path},
      {"Copy Encoded Posix Path",
       "Encoded Mac Path: " + user_.home() + "/My%20Dir/R%C3%A9sum%C3%A9%201.tar.gz"},
      {"Copy Tilde Posix Path", "Relative Mac Path: ~/My Dir/Résumé 1.tar.gz"},
      {"Copy Terminal Path", "Terminal Path: " + user_.home() + "/My\\ Dir/Résumé\\ 1.tar.gz"},
      {"Copy Filename", "Filename: Résumé 1.tar.gz"},
      {"Copy Display Filename", "Display Filename: Résumé 1.tar.gz"},
      {"Copy Extension", "Extension: gz"},
      {"Copy UNC Windows Style Path", "PC Path: " + unc},
  };
  for (const auto& [command, text] : expected) {
    const RunResult r = Service({command, path});
    EXPECT_EQ(r.exitStatus, 0) << command << r.err;
    EXPECT_EQ(user_.Clipboard(), text) << command;
  }
  Service({"Copy HFS Path", path});
  EXPECT_TRUE(user_.Clipboard().value_or("").ends_with(":home:My Dir:Résumé 1.tar.gz"))
      << *user_.Clipboard();
  Service({"Copy AFP URL", path});
  EXPECT_TRUE(user_.Clipboard().value_or("").starts_with("AFP URL: ")) << *user_.Clipboard();
}

TEST_F(KestrineServiceTest, CopyAllPathsJoinsBlocksWithAnEmptyLine) {
  user_.WriteSettings("<key>MultipathSeparator</key><string>, </string>");
  const RunResult r = Service({"Copy All Paths", File("a.txt"), File("b.txt")});
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  const std::string text = user_.Clipboard().value_or("");
  const std::size_t gap = text.find("\n\n");
  ASSERT_NE(gap, std::string::npos) << text;
  EXPECT_TRUE(text.starts_with(user_.home() + "/a.txt, ")) << text;
  EXPECT_TRUE(text.substr(gap + 2).starts_with(user_.home() + "/b.txt, ")) << text;
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2);
}

TEST_F(KestrineServiceTest, CopyFolderPathsListsTheTreeAndLogsTheWalk) {
  const std::string root = Folder("Tree");
  Folder("Tree/a/b");
  Folder("Tree/Tool.app/inner");
  File("Tree/file.txt");
  const RunResult r = Service({"Copy Folder Paths", root});
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(user_.Clipboard(), root + "\n" + root + "/a\n" + root + "/a/b\n");
  std::vector<std::string> log;
  for (const std::string& line : Lines(r.err)) log.push_back(LogText(line));
  EXPECT_EQ(log, (std::vector<std::string>{"Copy All Paths", "Cumulative Nbr Folders: 1 ",
                                           "Total Nbr Folders: 3 ", root + "/a",
                                           root + "/a/b"}));
}

TEST_F(KestrineServiceTest, CopyFolderPathsGoesOnPastFoldersItMayNotRead) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root, to run the service as nobody";
  // Root meets folders in /proc that no one may read.
  const RunResult proc = Service({"Copy Folder Paths", "/proc"});
  EXPECT_EQ(proc.exitStatus, 0);
  EXPECT_TRUE(user_.Clipboard().value_or("").starts_with("/proc\n/proc/"));

  const std::string root = Folder("Tree");
  Folder("Tree/locked/inner");
  Folder("Tree/z");
  ASSERT_EQ(::chmod((root + "/locked").c_str(), 0), 0);
  kestrine_testing::GiveTreeToNobody(user_.root());
  const RunResult asNobody = RunProgram({KESTRINE_SERVICE_PATH, "Copy Folder Paths", root}, {},
                                        kestrine_testing::BecomeNobody);
  EXPECT_EQ(asNobody.exitStatus, 0) << asNobody.err;
  std::vector<std::string> lines = Lines(user_.Clipboard().value_or(""));
  std::sort(lines.begin(), lines.end());
  EXPECT_EQ(lines, (std::vector<std::string>{root, root + "/locked", root + "/z"}));
}

TEST_F(KestrineServiceTest, InstallsServiceEntriesIdempotently) {
  RunResult r = Service({});
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_NE(r.out.find("(51 files written)"), std::string::npos) << r.out;
  const std::optional<std::string> dolphin =
      ReadFile(user_.root() + "/data/kio/servicemenus/kestrine.desktop");
  ASSERT_TRUE(dolphin.has_value());
  EXPECT_NE(dolphin->find("Exec=\"" KESTRINE_SERVICE_PATH "\" \"Copy Posix Path\" %F"),
            std::string::npos)
      << *dolphin;
  r = Service({});
  EXPECT_NE(r.out.find("(0 files written)"), std::string::npos) << r.out;
}

TEST_F(KestrineServiceTest, NautilusScriptRunsTheCommandOnItsArguments) {
  Service({});
  const std::string a = File("x y.txt");
  const RunResult r = RunProgram({user_.root() + "/data/nautilus/scripts/Kestrine/Copy Filename", a});
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(user_.Clipboard(), "x y.txt");
}

}  // namespace

namespace {

// The whole road under a real X server: the text reaches the CLIPBOARD
// selection, where another program reads it back.
TEST(KestrineServiceX11Test, CopiesToTheX11Clipboard) {
  if (const char* off = std::getenv("KESTRINE_NO_X11_TESTS"); off != nullptr && off == std::string("1")) {
    GTEST_SKIP() << "KESTRINE_NO_X11_TESTS=1";
  }
  ScopedUser user;
  kestrine_testing::ScopedXvfb server;
  ASSERT_TRUE(server.running()) << server.error();
  const std::string a = user.home() + "/日本語 ファイル.txt";
  const std::string b = user.home() + "/two.txt";
  WriteFile(a, "x");
  WriteFile(b, "x");
  const RunResult r = RunProgram({KESTRINE_SERVICE_PATH, "Copy Posix Path", a, b});
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(server.ReadClipboardExpecting(a + "\n" + b), a + "\n" + b);
  // Nothing goes to the file that stands in without a display.
  EXPECT_EQ(user.Clipboard(), std::nullopt);
  // A request whose items render nothing leaves the clipboard empty.
  RunProgram({KESTRINE_SERVICE_PATH, "Copy Extension", user.home()});
  EXPECT_EQ(server.ReadClipboardExpecting(""), "");
}

TEST_F(KestrineServiceTest, MemoryRunningOutLeavesTheClipboardEmpty) {
  if (kAddressSanitizer) GTEST_SKIP() << "AddressSanitizer cannot run under RLIMIT_AS";
  const std::string separator(1 << 20, '-');
  user_.WriteSettings("<key>MultipathSeparator</key><string>" + separator + "</string>");
  const std::string file = File("a.txt");
  const std::string tree = Folder("tree");
  struct Case {
    std::string command;
    std::string item;
    std::size_t count;
    std::optional<std::string> copied;  // None: memory runs out.
  };
  const std::vector<Case> cases = {
      {"Copy Posix Path", file, 2, file + separator + file},
      {"Copy Posix Path", file, 3000, std::nullopt},
      {"Copy All Paths", file, 3000, std::nullopt},
      {"Copy Folder Paths", tree, 3000, std::nullopt},
  };
  for (const Case& test : cases) {
    std::vector<std::string> argv = {KESTRINE_SERVICE_PATH, test.command};
    argv.insert(argv.end(), test.count, test.item);
    const RunResult r = RunProgramWith(argv, RunOptions{.limits = {{RLIMIT_AS, 256u << 20}}, .timeoutSeconds = 120});
    const std::string what = test.command + " x" + std::to_string(test.count);
    EXPECT_EQ(r.exitStatus, test.copied ? 0 : 1) << what << ": " << r.err.substr(0, 300);
    EXPECT_EQ(user_.Clipboard(), test.copied) << what;
    if (!test.copied) {
      EXPECT_NE(r.err.find("KestrineService: out of memory; the clipboard is left empty\n"),
                std::string::npos)
          << what << ": " << r.err.substr(r.err.size() > 300 ? r.err.size() - 300 : 0);
    }
  }
}

}  // namespace

namespace {

// Every file and folder under `folder`, by relative path, with each file's
// content.
std::map<std::string, std::string> Snapshot(const std::string& folder) {
  std::map<std::string, std::string> entries;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
    const std::string name = std::filesystem::relative(entry.path(), folder).string();
    entries[name] = entry.is_directory() ? "<folder>" : ReadFile(entry.path()).value_or("?");
  }
  return entries;
}

// The log lines of a request after its first, "Copy All Paths".
std::vector<std::string> FailureLog(const RunResult& r) {
  std::vector<std::string> lines;
  for (const std::string& line : Lines(r.err)) lines.push_back(LogText(line));
  if (!lines.empty() && lines.front() == "Copy All Paths") lines.erase(lines.begin());
  return lines;
}

// A copy whose text cannot be put in the clipboard file ends with status 1
// and one log line, and leaves the clipboard folder exactly as it was. The
// program runs as a user who is not root, so that permissions hold.
TEST(KestrineServiceFailedWriteTest, FileClipboardKeepsItsContent) {
  struct Case {
    std::string name;
    std::function<void(const ScopedUser&)> prepare;
    std::optional<rlim_t> fileSizeLimit;
    std::string logged;
  };
  const std::vector<Case> cases = {
      {"read-only folder",
       [](const ScopedUser& user) { chmod((user.root() + "/run/kestrine").c_str(), 0500); },
       std::nullopt, ": Permission denied"},
      {"clipboard is a folder",
       [](const ScopedUser& user) {
         std::filesystem::remove(user.root() + "/run/kestrine/clipboard");
         WriteFile(user.root() + "/run/kestrine/clipboard/old", "old");
       },
       std::nullopt, ": Is a directory"},
      {"file-size limit of 0", [](const ScopedUser&) {}, 0, ": File too large"},
  };
  const uid_t uid = kestrine_testing::UnprivilegedUser();
  for (const Case& c : cases) {
    // A text to write, then an empty text: the clipboard is only emptied.
    for (const std::string command : {"Copy Posix Path", "Copy Extension"}) {
      ScopedUser user;
      // The program is copied in, so that the user may run it wherever the
      // build lies.
      const std::string program = user.root() + "/KestrineService";
      std::filesystem::copy_file(KESTRINE_SERVICE_PATH, program);
      const std::string item = user.home() + "/a.txt";
      WriteFile(item, "x");
      user.SetClipboard("old");
      c.prepare(user);
      const auto before = Snapshot(user.root() + "/run");
      user.GiveTo(uid);
      const std::string target = command == "Copy Extension" ? user.home() : item;
      const RunResult r = RunProgramWith({program, command, target},
                                         {.user = uid, .fileSizeLimit = c.fileSizeLimit});
      // A file-size limit does not prevent emptying the clipboard.
      if (command == "Copy Extension" && c.fileSizeLimit) {
        EXPECT_EQ(r.exitStatus, 0) << c.name << r.err;
        EXPECT_EQ(user.Clipboard(), std::nullopt) << c.name;
        continue;
      }
      EXPECT_EQ(r.exitStatus, 1) << c.name << " " << command << r.err;
      const std::vector<std::string> log = FailureLog(r);
      ASSERT_EQ(log.size(), 1u) << c.name << " " << command << r.err;
      const std::string file = user.root() + "/run/kestrine/clipboard";
      EXPECT_TRUE(log[0].starts_with("Cannot ") && log[0].find(file + ": ") != std::string::npos &&
                  log[0].ends_with(c.logged))
          << log[0];
      EXPECT_EQ(Snapshot(user.root() + "/run"), before) << c.name << " " << command;
    }
  }
}

// A clipboard helper that fails, or never reads the text, fails the copy
// with status 1 and one log line, and the old selection stays.
TEST(KestrineServiceFailedWriteTest, BrokenHelperKeepsTheOldSelection) {
  if (const char* off = std::getenv("KESTRINE_NO_X11_TESTS");
      off != nullptr && off == std::string("1")) {
    GTEST_SKIP() << "KESTRINE_NO_X11_TESTS=1";
  }
  ScopedUser user;
  kestrine_testing::ScopedXvfb server;
  ASSERT_TRUE(server.running()) << server.error();
  const std::string old = user.home() + "/old";
  WriteFile(old, "x");
  ASSERT_EQ(RunProgram({KESTRINE_SERVICE_PATH, "Copy Filename", old}).exitStatus, 0);
  ASSERT_EQ(server.ReadClipboardExpecting("old"), "old");

  const struct {
    std::string script;
    std::string logged;
  } cases[] = {
      {"exit 1", "xclip ended with status 1"},
      {"kill -STOP $$", "xclip did not finish within 5000 ms and was stopped"},
  };
  const std::string bin = user.root() + "/bin";
  for (const auto& c : cases) {
    WriteFile(bin + "/xclip", "#!/bin/sh\n" + c.script + "\n");
    chmod((bin + "/xclip").c_str(), 0755);
    RunResult r;
    {
      ScopedEnv path("PATH", bin);
      r = RunProgram({KESTRINE_SERVICE_PATH, "Copy Filename", user.home()});
    }
    EXPECT_EQ(r.exitStatus, 1) << c.script << r.err;
    EXPECT_EQ(FailureLog(r), std::vector<std::string>{c.logged}) << r.err;
    EXPECT_EQ(server.ReadClipboardExpecting("old"), "old") << c.script;
  }
}

// The whole road under a real Wayland compositor, run as a user who is not
// root: the text reaches the Wayland clipboard, where wl-paste reads it.
TEST(KestrineServiceWaylandTest, CopiesToTheWaylandClipboard) {
  ScopedUser user;
  const std::string program = user.root() + "/KestrineService";
  std::filesystem::copy_file(KESTRINE_SERVICE_PATH, program);
  const std::string a = user.home() + "/日本語 ファイル.txt";
  const std::string b = user.home() + "/two.txt";
  WriteFile(a, "x");
  WriteFile(b, "x");
  const uid_t uid = kestrine_testing::UnprivilegedUser();
  user.GiveTo(uid);
  kestrine_testing::ScopedSway sway(uid);
  if (!sway.running()) GTEST_SKIP() << "sway cannot start: " << sway.error();

  RunResult r = RunProgramWith({program, "Copy Posix Path", a, b}, {.user = uid});
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(sway.ReadClipboardExpecting(a + "\n" + b), a + "\n" + b);
  EXPECT_EQ(user.Clipboard(), std::nullopt);
  // A request whose items render nothing leaves the clipboard empty.
  r = RunProgramWith({program, "Copy Extension", user.home()}, {.user = uid});
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(sway.ReadClipboardExpecting(""), "");
}

}  // namespace
