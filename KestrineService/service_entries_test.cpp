#include "KestrineService/service_entries.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <set>

#include "KestrineService/service_commands.h"
#include "engine/path_forms.h"
#include "testing/test_support.h"

namespace {

using kestrine_testing::ReadFile;
using kestrine_testing::ScopedUser;
using kestrine_testing::WriteFile;

TEST(ServiceCommandsTest, UserDataStringsMatchExactly) {
  EXPECT_EQ(ServiceUserDataStrings().size(), 12u);
  const std::pair<const char*, std::optional<std::int32_t>> cases[] = {
      {"Copy Posix Path", kCopyPosixPath}, {"Copy Encoded Posix Path", kCopyEncodedPosixPath},
      {"Copy Tilde Posix Path", kCopyTildePosixPath}, {"Copy Terminal Path", kCopyTerminalPath},
      {"Copy HFS Path", kCopyHFSPath}, {"Copy Filename", kCopyFilename},
      {"Copy Display Filename", kCopyDisplayFilename}, {"Copy Extension", kCopyExtension},
      {"Copy UNC Windows Style Path", kCopyUNCWindowsStylePath}, {"Copy AFP URL", kCopyAFPURL},
      {"Copy All Paths", kCopyAll}, {"Copy Folder Paths", kCopyFolderPaths},
      {"Copy All", std::nullopt}, {"copy posix path", std::nullopt}, {"Copy Posix Path ", std::nullopt}};
  for (const auto& [userData, id] : cases) EXPECT_EQ(CommandIDForUserData(userData), id) << userData;
}

TEST(ServiceEntriesTest, Quoting) {
  EXPECT_EQ(QuoteDesktopExecArgument("/opt/My Apps/K"), "\"/opt/My Apps/K\"");
  EXPECT_EQ(QuoteDesktopExecArgument("a\"b$c`d\\e"), "\"a\\\\\"b\\\\$c\\\\`d\\\\\\\\e\"");
}

TEST(ServiceEntriesTest, EveryFileManagerGetsEveryCommand) {
  ScopedUser user;
  const std::vector<ServiceEntryFile> files = ServiceEntryFiles("/opt/k/KestrineService");
  ASSERT_EQ(files.size(), 50u);
  const auto has = [&](const std::string& path) {
    return std::any_of(files.begin(), files.end(), [&](const ServiceEntryFile& f) { return f.path == path; });
  };
  for (std::string_view command : ServiceUserDataStrings()) {
    const std::string name(command);
    EXPECT_TRUE(has(user.root() + "/data/nautilus/scripts/Kestrine/" + name)) << name;
    EXPECT_TRUE(has(user.root() + "/config/caja/scripts/Kestrine/" + name)) << name;
    EXPECT_NE(files[0].content.find("Name=" + name + "\n"), std::string::npos) << name;
  }
  // Every file carries the line by which Kestrine knows it as its own.
  for (const ServiceEntryFile& file : files) {
    EXPECT_NE(file.content.find(kServiceEntryMarker), std::string::npos) << file.path;
  }
  EXPECT_EQ(files[1].content,
            "#!/bin/sh\n# Written by KestrineService; \"KestrineService --remove-entries\" removes it.\n"
            "# Kestrine: Copy All Paths of the selected items.\n"
            "exec '/opt/k/KestrineService' 'Copy All Paths' \"$@\"\n");
  EXPECT_TRUE(files[1].executable);
  EXPECT_EQ(files[36].path, user.root() + "/data/nemo/actions/kestrine-copy-afp-url.nemo_action");
  EXPECT_NE(files[36].content.find(
                "Exec=\"/opt/k/KestrineService\" \"Copy AFP URL\" %F\nIcon-Name=edit-copy\n"
                "Selection=notnone\nExtensions=any;\n"),
            std::string::npos);
  EXPECT_EQ(files[37].path, user.root() + "/data/file-manager/actions/kestrine.desktop");
  EXPECT_NE(files[37].content.find("Type=Menu\nName=Kestrine\nIcon=edit-copy\n"
                                   "ItemsList=kestrine-copy-all-paths;"),
            std::string::npos);
  EXPECT_TRUE(files.back().content.ends_with(
      "[Desktop Entry]\nType=Action\nName=Copy AFP URL\n"
      "Tooltip=Kestrine: Copy AFP URL of the selected items\nIcon=edit-copy\n"
      "Profiles=any;\n\n[X-Action-Profile any]\nName=Copy AFP URL\nMimeTypes=all/all;\n"
      "Exec=\"/opt/k/KestrineService\" \"Copy AFP URL\" %F\n"));
}

// The entries a package installs are the user's entries, from the same
// writer, below the system folder, without the marker and not executable;
// only the file managers that read a system folder get them.
TEST(ServiceEntriesTest, SystemEntriesAreTheUsersWithoutTheMarker) {
  ScopedUser user;
  const std::string k = "/usr/bin/KestrineService";
  const std::vector<ServiceEntryFile> mine = ServiceEntryFiles(k);
  const std::set<FileManager> all = {FileManager::kDolphin, FileManager::kNautilus,
                                     FileManager::kCaja,    FileManager::kNemo,
                                     FileManager::kThunar,  FileManager::kFileManagerActions};
  const std::vector<ServiceEntryFile> system = SystemServiceEntryFiles(k, "/usr/share", all);
  ASSERT_EQ(system.size(), 26u);
  const std::string marker(kServiceEntryMarker);
  for (const ServiceEntryFile& file : system) {
    SCOPED_TRACE(file.path);
    const auto own = std::find_if(mine.begin(), mine.end(), [&](const ServiceEntryFile& m) {
      return m.path == user.root() + "/data" + file.path.substr(std::string("/usr/share").size());
    });
    ASSERT_NE(own, mine.end());
    EXPECT_EQ(marker + file.content, own->content);
    EXPECT_FALSE(file.executable);
  }
  EXPECT_EQ(system[0].path, "/usr/share/kio/servicemenus/kestrine.desktop");
  EXPECT_EQ(system[13].path, "/usr/share/file-manager/actions/kestrine.desktop");
  EXPECT_EQ(SystemServiceEntryFiles(k, "/usr/share", {FileManager::kNemo}).size(), 12u);
  EXPECT_TRUE(SystemServiceEntryFiles(k, "/usr/share", {FileManager::kNautilus, FileManager::kCaja,
                                                        FileManager::kThunar})
                  .empty());
}

// The build writes those entries with the same writer, and a file manager
// dropped from a later build keeps none of them.
TEST(ServiceEntriesTest, TheBuildWritesTheSystemEntries) {
  kestrine_testing::ScopedTempDir dir;
  const std::string k = "/usr/bin/KestrineService", share = dir.Join("share");
  using kestrine_testing::FolderNames;
  using kestrine_testing::RunProgram;
  ASSERT_EQ(RunProgram({KESTRINE_SYSTEM_ENTRIES_PATH, k, share, "dolphin", "nemo",
                        "file-manager-actions"}).exitStatus, 0);
  for (const ServiceEntryFile& file :
       SystemServiceEntryFiles(k, share, {FileManager::kDolphin, FileManager::kNemo,
                                          FileManager::kFileManagerActions})) {
    EXPECT_EQ(ReadFile(file.path), file.content) << file.path;
  }
  ASSERT_EQ(RunProgram({KESTRINE_SYSTEM_ENTRIES_PATH, k, share, "file-manager-actions"}).exitStatus, 0);
  EXPECT_EQ(FolderNames(share + "/file-manager/actions").size(), 13u);
  EXPECT_EQ(FolderNames(share + "/nemo/actions"), std::vector<std::string>{});
  EXPECT_EQ(FolderNames(share + "/kio/servicemenus"), std::vector<std::string>{});
  const kestrine_testing::RunResult wrong =
      RunProgram({KESTRINE_SYSTEM_ENTRIES_PATH, k, share, "nautilus"});
  EXPECT_EQ(wrong.exitStatus, 2);
  EXPECT_EQ(wrong.err, "kestrine_system_entries: unknown file manager \"nautilus\"\n");
}

// Only the program installed for every user, outside a home folder, leaves
// the user's folders alone.
TEST(ServiceEntriesTest, UserEntriesAreForHomePrefixesAndBuildFolders) {
  kestrine_testing::ScopedTempDir dir;
  const std::string home = dir.Join("home/ann"), usr = dir.Join("usr/bin/KestrineService"),
                    local = home + "/.local/bin/KestrineService";
  for (const std::string& program : {usr, local, dir.Join("build/KestrineService"),
                                     dir.Join("home/anne/bin/KestrineService")}) {
    kestrine_testing::MakeDirs(std::filesystem::path(program).parent_path().string());
    kestrine_testing::WriteProgram(program);
  }
  std::filesystem::create_directory_symlink(dir.Join("usr/bin"), dir.Join("bin"));
  const struct {
    std::string executable, installed, home;
    bool writes;
  } cases[] = {
      {usr, usr, home, false},                         // The package's program.
      {usr, dir.Join("bin/KestrineService"), home, false},  // Installed through a link.
      {dir.Join("bin/KestrineService"), usr, home, false},
      {usr, usr, "/", false},                          // A home of "/" holds no prefix.
      {usr, usr, "", false},
      {local, local, home, true},                      // A home prefix (./dev install).
      {local, local, home + "/", true},
      {dir.Join("home/anne/bin/KestrineService"), dir.Join("home/anne/bin/KestrineService"), home,
       false},                                         // Beside the home, not in it.
      {dir.Join("build/KestrineService"), usr, home, true},  // A build folder.
      {usr, local, home, true},                        // Installed elsewhere than built for.
      {usr, "", home, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.executable + " " + c.installed + " " + c.home);
    EXPECT_EQ(WritesUserEntries(c.executable, c.installed, c.home), c.writes);
  }
}

// Kestrine's twelve actions for `executable`, as the merge adds them.
std::string Ours(const std::string& executable) {
  const std::string merged = MergeThunarCustomActions("<actions>\n</actions>", executable).value();
  return merged.substr(10, merged.size() - 20);
}

TEST(ServiceEntriesTest, ThunarActionsMergeWithTheUsersOwn) {
  const std::string ours = Ours("/usr/bin/K");
  EXPECT_EQ(std::count(ours.begin(), ours.end(), '\n'), 12 * 16);
  EXPECT_NE(Ours("/opt/it's/K").find(
                "\t<name>Copy Filename</name>\n\t<submenu>Kestrine</submenu>\n"
                "\t<unique-id>kestrine-copy-filename</unique-id>\n"
                "\t<command>&apos;/opt/it&apos;\\&apos;&apos;s/K&apos; "
                "&apos;Copy Filename&apos; %F</command>\n"),
            std::string::npos);
  const std::string head = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<actions>\n";
  const std::string mine = "<action>\n\t<name>Mine &amp; yours</name>\n"
                           "\t<unique-id>kestrine-mine</unique-id>\n</action>\n";
  const struct {
    std::string name;
    std::string existing;
    std::string merged;
    bool removesBack;  // Whether removing gives `existing` back.
  } cases[] = {
      {"the user's actions stay first", head + mine + "</actions>\n", head + mine + ours + "</actions>\n", true},
      {"a comment after the element", head + mine + "</actions>\n<!-- old: </actions> -->\n",
       head + mine + ours + "</actions>\n<!-- old: </actions> -->\n", true},
      {"an action in a comment is not one",
       head + "<!-- <action><unique-id>kestrine-copy-filename</unique-id></action> -->\n</actions>",
       head + "<!-- <action><unique-id>kestrine-copy-filename</unique-id></action> -->\n" + ours + "</actions>",
       true},
      {"an indented end", "<actions>\n  " + mine + "  </actions>", "<actions>\n  " + mine + ours + "  </actions>",
       true},
      {"one line", "<actions><action/></actions>", "<actions><action/>\n" + ours + "</actions>", false},
      {"no actions yet", head.substr(0, head.size() - 10) + "<actions/>\n",
       head.substr(0, head.size() - 10) + "<actions>\n" + ours + "</actions>\n", false},
      {"ours from elsewhere are replaced", head + Ours("/opt/K") + mine + "</actions>\n",
       head + mine + ours + "</actions>\n", false},
      {"ours out of a line that holds more; an id with blanks",
       "<actions>\n\t<action><unique-id> kestrine-copy-afp-url\n</unique-id></action> <!-- x -->\n" + mine +
           "</actions>\n",
       "<actions>\n\t <!-- x -->\n" + mine + ours + "</actions>\n", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(MergeThunarCustomActions(c.existing, "/usr/bin/K"), c.merged);
    EXPECT_EQ(MergeThunarCustomActions(c.merged, "/usr/bin/K"), c.merged);
    if (c.removesBack) {
      EXPECT_EQ(RemoveThunarCustomActions(c.merged), c.existing);
    }
  }
  EXPECT_EQ(MergeThunarCustomActions("", "/usr/bin/K"),
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<actions>\n" + ours + "</actions>\n");

  const std::pair<std::string, std::string> refused[] = {
      {"<actions>", "it is not well-formed XML (line 1, column 10: no element found)"},
      {"<actions></actions>\n<!-- ", "it is not well-formed XML (line 2, column 1: unclosed token)"},
      {"<actions><action></actions>", "it is not well-formed XML (line 1, column 20: mismatched tag)"},
      {"<other><actions/></other>", "its top element is <other>, not <actions>"},
      {"<?xml version='1.0' encoding='ISO-8859-1'?><actions/>", "it is in the encoding ISO-8859-1, not UTF-8"},
      {"<!DOCTYPE actions [<!ENTITY a '<action/>'>]><actions>&a;</actions>",
       "it declares the XML entity \"a\""},
  };
  for (const auto& [existing, reason] : refused) {
    std::string why;
    EXPECT_EQ(MergeThunarCustomActions(existing, "/usr/bin/K", &why), std::nullopt) << existing;
    EXPECT_EQ(why, reason) << existing;
    EXPECT_EQ(RemoveThunarCustomActions(existing), std::nullopt) << existing;
  }
}

// Makes each of `programs` a program on PATH while it lives.
class ScopedPrograms final {
 public:
  ScopedPrograms(const ScopedUser& user, const std::vector<std::string>& programs)
      : path_("PATH", user.root() + "/bin") {
    kestrine_testing::MakeDirs(user.root() + "/bin");
    for (const std::string& program : programs) kestrine_testing::WriteProgram(user.root() + "/bin/" + program);
  }

 private:
  kestrine_testing::ScopedEnv path_;
};

TEST(ServiceEntriesTest, OnlyInstalledFileManagersWithoutKestrinesModule) {
  const std::string k = "/opt/k/KestrineService";
  const struct {
    std::vector<std::string> programs;
    std::vector<std::string> modules;  // Those installed.
    std::vector<std::string> notes;
    std::vector<std::string> folders;  // Those holding entries afterwards.
    int written;
  } cases[] = {
      {{},
       {},
       {"no file manager found: none of dolphin, nautilus, caja, nemo, thunar, pcmanfm-qt, pcmanfm is on PATH; "
        "no entries written"},
       {},
       0},
      {{"nautilus", "thunar"},
       {"caja"},
       {"file managers found: Nautilus, Thunar", "entries for " + k + ": wrote 13 files"},
       {"config/Thunar", "data/nautilus/scripts/Kestrine"},
       13},
      {{"pcmanfm", "dolphin"},
       {},
       {"file managers found: Dolphin, PCManFM", "entries for " + k + ": wrote 14 files"},
       {"data/file-manager/actions", "data/kio/servicemenus"},
       14},
      {{"nautilus", "caja", "nemo"},
       {"nautilus", "nemo"},
       {"file managers found: Nautilus, Caja, Nemo",
        "Nautilus loads Kestrine's extension module MODULES/nautilus.so, so it gets no entries of its own",
        "Nemo loads Kestrine's extension module MODULES/nemo.so, so it gets no entries of its own",
        "entries for " + k + ": wrote 12 files"},
       {"config/caja/scripts/Kestrine"},
       12},
      {{"thunar", "nemo"},
       {"thunar"},
       {"file managers found: Nemo, Thunar",
        "Thunar loads Kestrine's extension module MODULES/thunar.so, so it gets no entries of its own",
        "entries for " + k + ": wrote 12 files"},
       {"data/nemo/actions"},
       12},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.notes[0]);
    ScopedUser user;
    const ScopedPrograms programs(user, c.programs);
    ExtensionModulePaths modules;
    for (FileManager manager : {FileManager::kNautilus, FileManager::kCaja, FileManager::kNemo, FileManager::kThunar}) {
      std::string name(FileManagerName(manager));
      std::transform(name.begin(), name.end(), name.begin(), ::tolower);
      modules[manager] = user.root() + "/modules/" + name + ".so";
      if (std::find(c.modules.begin(), c.modules.end(), name) != c.modules.end()) {
        WriteFile(modules[manager], "\177ELF");
      }
    }
    const ServiceEntriesReport report = NSUpdateDynamicServices(k, modules);
    std::vector<std::string> notes = report.notes;
    for (std::string& note : notes) {
      if (const std::size_t at = note.find(user.root() + "/modules/"); at != std::string::npos) {
        note.replace(at, user.root().size() + 9, "MODULES/");
      }
    }
    EXPECT_EQ(notes, c.notes);
    EXPECT_EQ(report.problems, std::vector<std::string>{});
    EXPECT_EQ(report.written, c.written);
    std::vector<std::string> folders;
    for (const std::string top : {"data", "config"}) {
      for (const auto& item : std::filesystem::recursive_directory_iterator(user.root() + "/" + top)) {
        if (item.is_regular_file()) {
          const std::string folder = std::filesystem::relative(item.path().parent_path(), user.root());
          if (std::find(folders.begin(), folders.end(), folder) == folders.end()) folders.push_back(folder);
        }
      }
    }
    std::sort(folders.begin(), folders.end());
    EXPECT_EQ(folders, c.folders);
  }

  // Once the module is there, the entries of an earlier run go, and the
  // user's own file among them stays, unmentioned.
  ScopedUser user;
  const ScopedPrograms programs(user, {"nautilus"});
  const ExtensionModulePaths modules = {{FileManager::kNautilus, user.root() + "/nautilus.so"}};
  EXPECT_EQ(NSUpdateDynamicServices(k, modules).written, 12);
  const std::string scripts = user.root() + "/data/nautilus/scripts/Kestrine";
  WriteFile(scripts + "/Copy Filename", "#!/bin/sh\necho mine\n");
  WriteFile(user.root() + "/nautilus.so", "\177ELF");
  const ServiceEntriesReport report = NSUpdateDynamicServices(k, modules);
  EXPECT_EQ(report.notes, (std::vector<std::string>{
                              "file managers found: Nautilus",
                              "Nautilus loads Kestrine's extension module " + user.root() +
                                  "/nautilus.so, so it gets no entries of its own (11 earlier entry files removed)"}));
  EXPECT_EQ(report.problems, std::vector<std::string>{});
  EXPECT_EQ(kestrine_testing::FolderNames(scripts), std::vector<std::string>{"Copy Filename"});

  // Thunar's earlier entries are Kestrine's actions in its custom actions
  // file: they go, and the user's own action stays.
  std::filesystem::remove(user.root() + "/bin/nautilus");
  const ScopedPrograms thunar(user, {"thunar"});
  const std::string uca = user.root() + "/config/Thunar/uca.xml";
  const std::string mine = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<actions>\n<action><name>Mine</name>"
                           "<unique-id>mine</unique-id></action>\n</actions>\n";
  WriteFile(uca, mine);
  const ExtensionModulePaths thunarModule = {{FileManager::kThunar, user.root() + "/thunar.so"}};
  EXPECT_EQ(NSUpdateDynamicServices(k, thunarModule).written, 1);
  WriteFile(user.root() + "/thunar.so", "\177ELF");
  EXPECT_EQ(NSUpdateDynamicServices(k, thunarModule).notes,
            (std::vector<std::string>{"file managers found: Thunar",
                                      "Thunar loads Kestrine's extension module " + user.root() +
                                          "/thunar.so, so it gets no entries of its own (12 earlier actions "
                                          "removed from " + uca + ")"}));
  EXPECT_EQ(ReadFile(uca), mine);
  EXPECT_EQ(NSUpdateDynamicServices(k, thunarModule).notes.back(),
            "Thunar loads Kestrine's extension module " + user.root() + "/thunar.so, so it gets no entries of its own");
}

TEST(ServiceEntriesTest, UpdateWritesOnlyWhatChangedAndRemovesOnlyItsOwn) {
  ScopedUser user;
  const ScopedPrograms programs(user, {"dolphin", "nautilus", "caja", "nemo", "thunar", "pcmanfm-qt"});
  const ExtensionModulePaths noModules;
  const std::string uca = ThunarCustomActionsPath();
  const std::string users = "<actions>\n<action><unique-id>kestrine-mine</unique-id></action>\n</actions>\n";
  WriteFile(uca, users);
  ServiceEntriesReport report = NSUpdateDynamicServices("/opt/k/KestrineService", noModules);
  EXPECT_EQ(report.written, 51);
  EXPECT_EQ(report.notes.back(), "entries for /opt/k/KestrineService: wrote 51 files");
  EXPECT_EQ(ReadFile(uca + ".bak"), users);
  report = NSUpdateDynamicServices("/opt/k/KestrineService", noModules);
  EXPECT_EQ(report.notes.back(), "entries for /opt/k/KestrineService are up to date (51 files)");
  const std::string script = user.root() + "/data/nautilus/scripts/Kestrine/Copy Filename";
  struct stat info {};
  ASSERT_EQ(::stat(script.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0755u);
  ::chmod(script.c_str(), 0644);
  EXPECT_EQ(NSUpdateDynamicServices("/opt/k/KestrineService", noModules).notes.back(),
            "entries for /opt/k/KestrineService: wrote 1 file, 50 already up to date");
  // A new location of the program rewrites every entry but the menu that
  // lists the actions.
  EXPECT_EQ(NSUpdateDynamicServices("/usr/bin/KestrineService", noModules).written, 50);
  EXPECT_NE(ReadFile(uca + ".bak").value_or("").find("/opt/k/KestrineService"), std::string::npos);

  // Removing takes Kestrine's files and actions, and nothing else: not the
  // user's own file at an entry's path, nor the user's action.
  const std::string own = user.root() + "/config/caja/scripts/Kestrine/Copy Filename";
  WriteFile(own, "#!/bin/sh\necho mine\n");
  report = RemoveServiceEntries();
  EXPECT_EQ(report.notes, (std::vector<std::string>{"removed 49 entry files",
                                                    "removed Kestrine's 12 actions from " + uca}));
  EXPECT_EQ(report.problems,
            std::vector<std::string>{own + " is left alone: KestrineService did not write it (it lacks "
                                           "KestrineService's marker line)"});
  EXPECT_EQ(ReadFile(uca), users);
  EXPECT_EQ(kestrine_testing::FolderNames(user.root() + "/data/nautilus/scripts"), std::vector<std::string>{});
  EXPECT_EQ(kestrine_testing::FolderNames(user.root() + "/config/caja/scripts/Kestrine"),
            std::vector<std::string>{"Copy Filename"});
  EXPECT_EQ(RemoveServiceEntries().notes, std::vector<std::string>{});
  std::filesystem::remove(own);
  EXPECT_EQ(RemoveServiceEntries().notes, std::vector<std::string>{"no entries to remove"});
}

// The entries written before they carried the marker line, which is all
// that differs, are Kestrine's too: rewritten, and removed.
TEST(ServiceEntriesTest, EntriesOfTheEarlierVersionAreKestrines) {
  ScopedUser user;
  const ScopedPrograms programs(user, {"dolphin", "nautilus", "caja", "nemo", "pcmanfm"});
  const auto writeEarlier = [] {
    for (ServiceEntryFile entry : ServiceEntryFiles("/old/K")) {
      entry.content.erase(entry.content.find(kServiceEntryMarker), kServiceEntryMarker.size());
      WriteFile(entry.path, entry.content);
    }
  };
  writeEarlier();
  ServiceEntriesReport report = NSUpdateDynamicServices("/usr/bin/K", {});
  EXPECT_EQ(report.problems, std::vector<std::string>{});
  EXPECT_EQ(report.written, 50);
  writeEarlier();
  report = RemoveServiceEntries();
  EXPECT_EQ(report.problems, std::vector<std::string>{});
  EXPECT_EQ(report.removed, 50);
}

TEST(ServiceEntriesTest, ThunarStartsFromTheSystemDefault) {
  ScopedUser user;
  const ScopedPrograms programs(user, {"thunar"});
  const std::string system =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<actions>\n<action>\n\t<name>Open Terminal Here</name>\n"
      "\t<unique-id>1-1</unique-id>\n</action>\n</actions>\n";
  WriteFile(user.root() + "/xdg2/Thunar/uca.xml", system);
  WriteFile(user.root() + "/xdg3/Thunar/uca.xml", "<actions/>");
  const kestrine_testing::ScopedEnv dirs("XDG_CONFIG_DIRS", "xdg0:" + user.root() + "/xdg1:" + user.root() +
                                                                "/xdg2:" + user.root() + "/xdg3");
  const ServiceEntriesReport report = NSUpdateDynamicServices("/usr/bin/K", {});
  EXPECT_EQ(report.notes[1], "Thunar: " + ThunarCustomActionsPath() + " starts as a copy of " + user.root() +
                                 "/xdg2/Thunar/uca.xml");
  EXPECT_EQ(ReadFile(ThunarCustomActionsPath()),
            system.substr(0, system.size() - 11) + Ours("/usr/bin/K") + "</actions>\n");
  EXPECT_EQ(RemoveThunarCustomActions(*ReadFile(ThunarCustomActionsPath())), system);
}

}  // namespace
