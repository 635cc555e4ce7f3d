// End-to-end tests of the KestrineService program against real files, the
// per-user clipboard file and real X11 and Wayland clipboards.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "testing/test_support.h"

namespace {

using kestrine_testing::ReadFile;
using kestrine_testing::RunProgram;
using kestrine_testing::RunProgramWith;
using kestrine_testing::RunResult;
using kestrine_testing::ScopedUser;
using kestrine_testing::SplitLines;
using kestrine_testing::WriteFile;
using kestrine_testing::WriteProgram;

// The texts of the log lines, without their "Name[pid:tid] " prefixes.
std::vector<std::string> Log(const RunResult& r) {
  std::vector<std::string> texts;
  for (const std::string& line : SplitLines(r.err)) {
    const std::size_t process = line.find(" KestrineService[");
    const std::size_t end = process == std::string::npos ? process : line.find("] ", process);
    texts.push_back(end == std::string::npos ? line : line.substr(end + 2));
  }
  return texts;
}

class KestrineServiceTest : public ::testing::Test {
 protected:
  RunResult Service(std::vector<std::string> args, const std::optional<std::string>& cwd = {}) {
    args.insert(args.begin(), KESTRINE_SERVICE_PATH);
    return RunProgram(args, cwd);
  }
  std::string File(const std::string& relative) {
    WriteFile(user_.home() + "/" + relative, "x");
    return user_.home() + "/" + relative;
  }
  std::string Folder(const std::string& relative) {
    kestrine_testing::MakeDirs(user_.home() + "/" + relative);
    return user_.home() + "/" + relative;
  }

  ScopedUser user_;
};

TEST_F(KestrineServiceTest, EachRequestCopiesTheTextOfEveryItem) {
  const std::string a = File("a.txt");
  const std::string b = File("b c.txt");
  const std::string c = File("c.txt");
  File("docs/one.txt");
  File("docs/two.txt");
  const std::string path = File("My Dir/Résumé 1.tar.gz");
  const struct {
    std::vector<std::string> request;
    std::optional<std::string> copied;  // None: the clipboard is left empty.
    std::optional<std::string> cwd = {};
    std::string settings = "";  // Empty: as the case before left them.
    std::vector<std::string> named = {};  // The PATHs named as giving no item.
  } cases[] = {
      {{"Copy Posix Path", a, b}, a + "\n" + b},
      {{"Copy Tilde Posix Path", "one.txt", "./two.txt"}, "~/docs/one.txt\n~/docs/two.txt", user_.home() + "/docs"},
      // Unusable entries are named and keep their position.
      {{"Copy Filename", user_.home() + "/missing", b, c}, "\nb c.txt\nc.txt", {}, "",
       {user_.home() + "/missing: no such file or folder"}},
      {{"Copy Filename", "not-utf8-\xff", b, c}, "\nb c.txt\nc.txt", {}, "", {"not-utf8-\xff: not a valid UTF-8 name"}},
      {{"Copy Posix Path"}, std::nullopt},
      {{"Copy Posix Path", path}, "Mac Path: " + path, {}, "<key>LabelItems</key><true/>"},
  };
  for (const auto& t : cases) {
    SCOPED_TRACE(t.request[0] + " " + (t.request.size() > 1 ? t.request[1] : ""));
    if (!t.settings.empty()) user_.WriteSettings(t.settings);
    user_.SetClipboard("old");
    const RunResult r = Service(t.request, t.cwd);
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(user_.Clipboard(), t.copied);
    // One line on every request, and where the text went without a display.
    std::vector<std::string> said = {"Copy All Paths"};
    for (const std::string& named : t.named) said.push_back("KestrineService: " + named);
    said.push_back("KestrineService: no display: the clipboard is the file " + user_.root() + "/run/kestrine/clipboard");
    EXPECT_EQ(Log(r), said) << r.err;
    EXPECT_NE(r.err.find(" KestrineService["), std::string::npos) << r.err;
  }
}

// Command lines that name nothing to copy, or are wrong, leave the clipboard
// as it was and say why; help goes to standard output.
TEST_F(KestrineServiceTest, RefusesRequestsWithoutAnItemAndWrongOptions) {
  const std::string missing = user_.home() + "/missing";
  const std::string usage = "usage: KestrineService [\"<command>\" [PATH...] | --remove-entries | --version | --help]";
  const struct {
    std::vector<std::string> args;
    int status;
    std::vector<std::string> said;
  } cases[] = {
      {{"Copy Posix Path", missing},
       1,
       {"Copy All Paths", "KestrineService: " + missing + ": no such file or folder",
        "KestrineService: no PATH names an item; the clipboard is left as it was"}},
      {{"Copy All Paths", missing, "\xff"},
       1,
       {"Copy All Paths", "KestrineService: " + missing + ": no such file or folder",
        "KestrineService: \xff: not a valid UTF-8 name",
        "KestrineService: no PATH names an item; the clipboard is left as it was"}},
      {{"--bogus", File("a.txt")}, 2, {"KestrineService: unknown option \"--bogus\"", usage}},
      {{"-x"}, 2, {"KestrineService: unknown option \"-x\"", usage}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0]);
    user_.SetClipboard("old");
    const RunResult r = Service(c.args);
    EXPECT_EQ(r.exitStatus, c.status);
    std::vector<std::string> said = Log(r);
    // The usage ends with the list of commands.
    if (c.said.back() == usage && said.size() == c.said.size() + 1 &&
        said.back().starts_with("commands: \"Copy All Paths\" ")) {
      said.pop_back();
    }
    EXPECT_EQ(said, c.said) << r.err;
    EXPECT_EQ(user_.Clipboard(), "old");
  }
  for (const std::string help : {"--help", "-h"}) {
    const RunResult r = Service({help});
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_TRUE(r.out.starts_with(usage + "\ncommands: \"Copy All Paths\"")) << r.out;
    EXPECT_EQ(r.err, "");
  }
}

TEST_F(KestrineServiceTest, FailuresLeaveTheClipboardUnchanged) {
  const struct {
    std::string command;
    bool noClipboardTool;
    int status;
    std::string error;
  } cases[] = {
      {"copy posix path", false, 2, "unknown command \"copy posix path\""},
      {"Copy Posix Path", true, 1, "xclip"},
  };
  for (const auto& c : cases) {
    user_.SetClipboard("old");
    kestrine_testing::ScopedEnvironment environment;
    if (c.noClipboardTool) {
      environment.Set("DISPLAY", ":99");
      environment.Set("PATH", Folder("empty-bin"));
    }
    const RunResult r = Service({c.command, File("a.txt")});
    EXPECT_EQ(r.exitStatus, c.status) << c.command;
    EXPECT_EQ(user_.Clipboard(), "old") << c.command;
    EXPECT_NE(r.err.find(c.error), std::string::npos) << r.err;
    EXPECT_EQ(Log(r).at(0), "Copy All Paths");
  }
}

TEST_F(KestrineServiceTest, CopyFolderPathsListsTheTreeAndLogsTheWalk) {
  const std::string root = Folder("Tree");
  Folder("Tree/a/b");
  File("Tree/file.txt");
  const RunResult r = Service({"Copy Folder Paths", root});
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(user_.Clipboard(), root + "\n" + root + "/a\n" + root + "/a/b\n");
  EXPECT_EQ(Log(r), (std::vector<std::string>{"Copy All Paths", "Cumulative Nbr Folders: 1 ",
                                              "Total Nbr Folders: 3 ", root + "/a", root + "/a/b",
                                              "KestrineService: no display: the clipboard is the file " +
                                                  user_.root() + "/run/kestrine/clipboard"}));
  // It goes on past folders in /proc that no one, not even root, may read.
  EXPECT_EQ(Service({"Copy Folder Paths", "/proc"}).exitStatus, 0);
  EXPECT_TRUE(user_.Clipboard().value_or("").starts_with("/proc\n/proc/"));
}

// Thunar's command for `command` in the custom actions file `uca`, as Thunar
// runs it on `file`: unescaped, with %F replaced by the quoted path.
RunResult RunThunarAction(const std::string& uca, const std::string& command, const std::string& file) {
  const std::string text = ReadFile(uca).value_or("");
  const std::size_t name = text.find("<name>" + command + "</name>");
  const std::size_t begin = text.find("<command>", name) + 9;
  std::string line = text.substr(begin, text.find("</command>", begin) - begin);
  for (std::size_t at; (at = line.find("&apos;")) != std::string::npos;) line.replace(at, 6, "'");
  line.replace(line.find("%F"), 2, "'" + file + "'");
  return RunProgram({"/bin/sh", "-c", line});
}

TEST_F(KestrineServiceTest, InstallsAndRemovesServiceEntriesOfInstalledFileManagers) {
  for (const char* program : {"dolphin", "thunar"}) kestrine_testing::WriteProgram(user_.root() + "/bin/" + program);
  const std::string system = "<?xml version=\"1.0\"?>\n<actions>\n<action><name>Open Terminal Here</name>"
                             "<unique-id>1-1</unique-id></action>\n</actions>\n";
  WriteFile(user_.root() + "/xdg/Thunar/uca.xml", system);
  const std::string uca = user_.root() + "/config/Thunar/uca.xml";
  const kestrine_testing::ScopedEnv path("PATH", user_.root() + "/bin");
  RunResult r = Service({});
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(r.out, "KestrineService: file managers found: Dolphin, Thunar\n"
                   "KestrineService: Thunar: " + uca + " starts as a copy of " + user_.root() + "/xdg/Thunar/uca.xml\n"
                   "KestrineService: entries for " KESTRINE_SERVICE_PATH ": wrote 2 files\n");
  r = Service({});
  EXPECT_EQ(r.out, "KestrineService: file managers found: Dolphin, Thunar\n"
                   "KestrineService: entries for " KESTRINE_SERVICE_PATH " are up to date (2 files)\n");
  EXPECT_EQ(kestrine_testing::FolderNames(user_.root() + "/data"), std::vector<std::string>{"kio"});
  // The entries name this program: Thunar's runs the command on its files.
  r = RunThunarAction(uca, "Copy Filename", File("x y.txt"));
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(user_.Clipboard(), "x y.txt");

  r = Service({"--remove-entries"});
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(r.out, "KestrineService: removed 1 entry file\n"
                   "KestrineService: removed Kestrine's 12 actions from " + uca + "\n");
  EXPECT_EQ(ReadFile(uca), system);
  EXPECT_EQ(kestrine_testing::FolderNames(user_.root() + "/data/kio/servicemenus"), std::vector<std::string>{});
}

// The user's custom actions file, and the user's own files at the entries'
// paths, come to no harm: modes, owners, links and every byte that is not
// Kestrine's stay as they were, and what cannot be merged is left alone
// with a message.
TEST_F(KestrineServiceTest, KeepsTheUsersFilesSafe) {
  const std::string config = user_.root() + "/config";
  const std::string uca = config + "/Thunar/uca.xml";
  const std::string mine = "<?xml version=\"1.0\"?>\n<actions>\n<action><name>Mine</name>"
                           "<unique-id>kestrine-mine</unique-id></action>\n</actions>\n";
  const std::string script = user_.root() + "/data/nautilus/scripts/Kestrine/Copy Filename";
  const auto mode = [](const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 ? info.st_mode : 0;
  };
  const auto owner = [](const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? info.st_uid : 0;
  };
  const uid_t other = ::geteuid() == 0 ? kestrine_testing::UnprivilegedUser() : ::geteuid();
  const struct {
    std::string name;
    std::function<void()> prepare;
    int status;
    std::string error;  // Standard error, each line but the prefix.
    std::function<void()> check;
  } cases[] = {
      {"a private file stays private, and its owner's",
       [&] {
         WriteFile(uca, mine);
         ::chmod(uca.c_str(), 0600);
         ASSERT_EQ(::chown(uca.c_str(), other, static_cast<gid_t>(-1)), 0);
       },
       0, "",
       [&] {
         EXPECT_EQ(mode(uca), S_IFREG | 0600);
         EXPECT_EQ(mode(uca + ".bak"), S_IFREG | 0600);
         EXPECT_EQ(owner(uca), other);
         EXPECT_EQ(owner(uca + ".bak"), other);
         EXPECT_EQ(ReadFile(uca + ".bak"), mine);
       }},
      {"a link is written through",
       [&] {
         WriteFile(user_.home() + "/dotfiles/uca.xml", mine);
         kestrine_testing::MakeDirs(config + "/Thunar");
         std::filesystem::create_symlink("../../home/dotfiles/uca.xml", uca);
       },
       0, "",
       [&] {
         EXPECT_TRUE(S_ISLNK(mode(uca)));
         EXPECT_EQ(ReadFile(user_.home() + "/dotfiles/uca.xml.bak"), mine);
         EXPECT_NE(ReadFile(uca).value_or("").find("kestrine-copy-filename"), std::string::npos);
       }},
      {"the user's action and a comment after the element stay",
       [&] { WriteFile(uca, mine + "<!-- </actions> -->\n"); }, 0, "",
       [&] {
         const std::string text = ReadFile(uca).value_or("");
         EXPECT_TRUE(text.starts_with(mine.substr(0, mine.size() - 11) + "<action>\n")) << text;
         EXPECT_TRUE(text.ends_with("</action>\n</actions>\n<!-- </actions> -->\n")) << text;
       }},
      {"a file that does not parse", [&] { WriteFile(uca, "<actions>\n"); }, 1,
       uca + " is left alone: it is not well-formed XML (line 2, column 1: no element found)",
       [&] { EXPECT_EQ(ReadFile(uca), "<actions>\n"); }},
      {"a FIFO",
       [&] {
         kestrine_testing::MakeDirs(config + "/Thunar");
         ::mkfifo(uca.c_str(), 0600);
       },
       1,
       uca + " is left alone: it is a named pipe (FIFO), not a file", [&] { EXPECT_TRUE(S_ISFIFO(mode(uca))); }},
      {"a folder", [&] { kestrine_testing::MakeDirs(uca); }, 1, uca + " is left alone: it is a folder, not a file",
       [&] { EXPECT_TRUE(S_ISDIR(mode(uca))); }},
      {"a link that leads nowhere",
       [&] {
         kestrine_testing::MakeDirs(config + "/Thunar");
         std::filesystem::create_symlink("gone.xml", uca);
       },
       1, uca + " is left alone: it is a symbolic link that leads to no file (No such file or directory)",
       [&] { EXPECT_FALSE(std::filesystem::exists(config + "/Thunar/gone.xml")); }},
      {"the user's own script", [&] { WriteFile(script, "#!/bin/sh\necho mine\n"); }, 1,
       script + " is left alone: KestrineService did not write it (it lacks KestrineService's marker line)",
       [&] {
         EXPECT_EQ(ReadFile(script), "#!/bin/sh\necho mine\n");
         EXPECT_NE(ReadFile(user_.root() + "/data/nautilus/scripts/Kestrine/Copy Extension").value_or("").find("Copy Extension"), std::string::npos);
       }},
  };
  for (const char* program : {"nautilus", "thunar"}) kestrine_testing::WriteProgram(user_.root() + "/bin/" + program);
  const kestrine_testing::ScopedEnv path("PATH", user_.root() + "/bin");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(config + "/Thunar");
    std::filesystem::remove_all(user_.root() + "/data");
    std::filesystem::remove_all(user_.home() + "/dotfiles");
    c.prepare();
    // Killed when it hangs, as on a FIFO it once did.
    const RunResult r = RunProgramWith({KESTRINE_SERVICE_PATH}, {.timeoutSeconds = 30});
    EXPECT_EQ(r.exitStatus, c.status) << r.err;
    EXPECT_EQ(r.err, c.error.empty() ? "" : "KestrineService: " + c.error + "\n");
    c.check();
  }
}

TEST_F(KestrineServiceTest, MemoryRunningOutLeavesTheClipboardEmpty) {
  if (kestrine_testing::kAddressSanitizer) GTEST_SKIP() << "AddressSanitizer cannot run under RLIMIT_AS";
  const std::string separator(1 << 20, '-');
  user_.WriteSettings("<key>MultipathSeparator</key><string>" + separator + "</string>");
  const std::string file = File("a.txt");
  const std::string tree = Folder("tree");
  const struct {
    std::string command;
    std::string item;
    std::size_t count;
    std::optional<std::string> copied;  // None: memory runs out.
  } cases[] = {
      {"Copy Posix Path", file, 2, file + separator + file},
      {"Copy Posix Path", file, 3000, std::nullopt},
      {"Copy All Paths", file, 3000, std::nullopt},
      {"Copy Folder Paths", tree, 3000, std::nullopt},
  };
  for (const auto& test : cases) {
    std::vector<std::string> argv = {KESTRINE_SERVICE_PATH, test.command};
    argv.insert(argv.end(), test.count, test.item);
    const RunResult r = RunProgramWith(argv, {.limits = {{RLIMIT_AS, 256u << 20}}, .timeoutSeconds = 120});
    const std::string what = test.command + " x" + std::to_string(test.count);
    EXPECT_EQ(r.exitStatus, test.copied ? 0 : 1) << what << ": " << r.err.substr(0, 300);
    EXPECT_EQ(user_.Clipboard(), test.copied) << what;
    if (!test.copied) {
      EXPECT_NE(r.err.find("KestrineService: out of memory; the clipboard is left empty\n"), std::string::npos)
          << what << ": " << r.err.substr(r.err.size() > 300 ? r.err.size() - 300 : 0);
    }
  }
}

// The whole road to a real clipboard, which `server` reads back: `run`
// requests a copy of two items, then of one that renders nothing.
template <typename Server>
void ExpectRoundTrip(const ScopedUser& user, const Server& server,
                     const std::function<RunResult(const std::vector<std::string>&)>& run) {
  const std::string a = user.home() + "/日本語 ファイル.txt";
  const std::string b = user.home() + "/two.txt";
  WriteFile(a, "x");
  WriteFile(b, "x");
  RunResult r = run({"Copy Posix Path", a, b});
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(server.ReadClipboardExpecting(a + "\n" + b), a + "\n" + b);
  // Nothing goes to the file that stands in without a display, and no word of it.
  EXPECT_EQ(user.Clipboard(), std::nullopt);
  EXPECT_EQ(r.err.find("no display"), std::string::npos) << r.err;
  r = run({"Copy Extension", user.home()});
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(server.ReadClipboardExpecting(""), "");
}

TEST(KestrineServiceX11Test, CopiesToTheX11ClipboardAndKeepsItWhenTheHelperFails) {
  if (kestrine_testing::X11TestsOff()) GTEST_SKIP() << "KESTRINE_NO_X11_TESTS=1";
  ScopedUser user;
  kestrine_testing::ScopedXvfb server;
  ASSERT_TRUE(server.running()) << server.error();
  ExpectRoundTrip(user, server, [](std::vector<std::string> args) {
    args.insert(args.begin(), KESTRINE_SERVICE_PATH);
    return RunProgram(args);
  });
  // Through xsel when xclip is missing, a text of over a megabyte.
  WriteProgram(user.root() + "/xsel/xsel", "#!/bin/sh\nexec " + kestrine_testing::SystemProgram("xsel") + " \"$@\"\n");
  user.WriteSettings("<key>MultipathSeparator</key><string>" + std::string(1 << 20, '-') + "</string>");
  const std::string two = user.home() + "/two.txt", large = two + std::string(1 << 20, '-') + two;
  {
    const kestrine_testing::ScopedEnv path("PATH", user.root() + "/xsel");
    EXPECT_EQ(RunProgram({KESTRINE_SERVICE_PATH, "Copy Posix Path", two, two}).exitStatus, 0);
  }
  EXPECT_TRUE(server.ReadClipboardExpecting(large) == large);

  // A helper that fails, or never reads the text, fails the copy with one
  // log line, and the old selection stays.
  WriteFile(user.home() + "/old", "x");
  ASSERT_EQ(RunProgram({KESTRINE_SERVICE_PATH, "Copy Filename", user.home() + "/old"}).exitStatus, 0);
  ASSERT_EQ(server.ReadClipboardExpecting("old"), "old");
  const std::pair<std::string, std::string> helpers[] = {
      {"exit 1", "xclip ended with status 1"},
      {"kill -STOP $$", "xclip did not finish within 5000 ms and was stopped"},
  };
  for (const auto& [script, logged] : helpers) {
    WriteProgram(user.root() + "/bin/xclip", "#!/bin/sh\n" + script + "\n");
    const kestrine_testing::ScopedEnv path("PATH", user.root() + "/bin");
    const RunResult failed = RunProgram({KESTRINE_SERVICE_PATH, "Copy Filename", user.home()});
    EXPECT_EQ(failed.exitStatus, 1) << script << failed.err;
    EXPECT_EQ(Log(failed), (std::vector<std::string>{"Copy All Paths", logged})) << failed.err;
    EXPECT_EQ(server.ReadClipboardExpecting("old"), "old") << script;
  }
}

// Every file and folder under `folder`, by relative path, with each file's content.
std::map<std::string, std::string> Snapshot(const std::string& folder) {
  std::map<std::string, std::string> entries;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
    const std::string name = std::filesystem::relative(entry.path(), folder).string();
    entries[name] = entry.is_directory() ? "<folder>" : ReadFile(entry.path()).value_or("?");
  }
  return entries;
}

// A copy whose text cannot be put in the clipboard file ends with status 1
// and one log line, and leaves the clipboard folder exactly as it was. The
// program runs as a user who is not root, so that permissions hold.
TEST(KestrineServiceFailedWriteTest, FileClipboardKeepsItsContent) {
  const struct {
    std::string name;
    std::function<void(const ScopedUser&)> prepare;
    std::vector<std::pair<int, std::uint64_t>> limits;
    std::string logged;
  } cases[] = {
      {"read-only folder", [](const ScopedUser& user) { chmod((user.root() + "/run/kestrine").c_str(), 0500); },
       {}, ": Permission denied"},
      {"clipboard is a folder",
       [](const ScopedUser& user) {
         std::filesystem::remove(user.root() + "/run/kestrine/clipboard");
         WriteFile(user.root() + "/run/kestrine/clipboard/old", "old");
       },
       {}, ": Is a directory"},
      {"file-size limit of 0", [](const ScopedUser&) {}, {{RLIMIT_FSIZE, 0}}, ": File too large"},
  };
  const uid_t uid = kestrine_testing::UnprivilegedUser();
  for (const auto& c : cases) {
    // A text to write, then an empty text: the clipboard is only emptied.
    for (const std::string command : {"Copy Posix Path", "Copy Extension"}) {
      SCOPED_TRACE(c.name + ", " + command);
      ScopedUser user;
      // A copy of the program, so that the user may run it wherever the build lies.
      const std::string program = user.root() + "/KestrineService";
      std::filesystem::copy_file(KESTRINE_SERVICE_PATH, program);
      WriteFile(user.home() + "/a.txt", "x");
      user.SetClipboard("old");
      c.prepare(user);
      const auto before = Snapshot(user.root() + "/run");
      user.GiveTo(uid);
      const std::string item = command == "Copy Extension" ? user.home() : user.home() + "/a.txt";
      const RunResult r = RunProgramWith({program, command, item}, {.user = uid, .limits = c.limits});
      // A file-size limit does not prevent emptying the clipboard.
      if (command == "Copy Extension" && !c.limits.empty()) {
        EXPECT_EQ(r.exitStatus, 0) << r.err;
        EXPECT_EQ(user.Clipboard(), std::nullopt);
        continue;
      }
      EXPECT_EQ(r.exitStatus, 1) << r.err;
      const std::vector<std::string> log = Log(r);
      ASSERT_EQ(log.size(), 2u) << r.err;
      EXPECT_EQ(log[0], "Copy All Paths");
      EXPECT_TRUE(log[1].starts_with("Cannot ") &&
                  log[1].find(user.root() + "/run/kestrine/clipboard: ") != std::string::npos &&
                  log[1].ends_with(c.logged))
          << log[1];
      EXPECT_EQ(Snapshot(user.root() + "/run"), before);
    }
  }
}

// Run as a user who is not root, under a compositor of its own.
TEST(KestrineServiceWaylandTest, CopiesToTheWaylandClipboard) {
  ScopedUser user;
  const std::string program = user.root() + "/KestrineService";
  std::filesystem::copy_file(KESTRINE_SERVICE_PATH, program);
  const uid_t uid = kestrine_testing::UnprivilegedUser();
  user.GiveTo(uid);
  kestrine_testing::ScopedSway sway(uid);
  if (!sway.running()) GTEST_SKIP() << "sway cannot start: " << sway.error();
  ExpectRoundTrip(user, sway, [&](std::vector<std::string> args) {
    args.insert(args.begin(), program);
    return RunProgramWith(args, {.user = uid});
  });
}

}  // namespace
