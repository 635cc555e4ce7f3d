#include "KestrineService/service_entries.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <utility>

#include "KestrineService/service_commands.h"
#include "KestrineService/thunar_custom_actions.h"
#include "platform/files/launch_services.h"
#include "platform/pasteboard/helper_process.h"
#include "platform/posix/posix.h"
#include "platform/xdg/xdg.h"

namespace {

using kestrine_posix::FileDescriptor;

// `folder` when there is one, else `fallbackBelowHome` in the home folder
// ("/" when that is unknown, so that the entries still have a path).
std::string FolderOr(std::optional<std::string> folder, std::string_view fallbackBelowHome) {
  if (folder) return std::move(*folder);
  return NSHomeDirectory().value_or("/") + "/" + std::string(fallbackBelowHome);
}

std::string Plural(int count, std::string_view noun) {
  return std::to_string(count) + " " + std::string(noun) + (count == 1 ? "" : "s");
}

// What kind of thing a file of `mode` is, for a message.
std::string Kind(mode_t mode) {
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISFIFO(mode)) return "a named pipe (FIFO)";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
  if (S_ISLNK(mode)) return "a symbolic link";
  return "a special file";
}

// What stands at a path that is to be read and replaced.
struct Existing {
  bool absent = false;
  std::string content;
  struct stat info {};
  std::string why;  // Not empty: it could not be read as a regular file, and why.
};

// Reads the regular file at `path` (following links), telling a FIFO or a
// device apart before anything is read from it.
Existing ReadExisting(const std::string& path) {
  using kestrine_posix::WholeFileStatus;
  kestrine_posix::WholeFile file = kestrine_posix::ReadRegularFile(path);
  // A socket cannot even be opened, so what it is comes from its path.
  if (file.status == WholeFileStatus::kOpenFailed && file.error == ENXIO &&
      ::stat(path.c_str(), &file.info) == 0) {
    file.status = WholeFileStatus::kNotRegular;
  }
  const bool absent = file.status == WholeFileStatus::kOpenFailed && file.error == ENOENT;
  Existing result{absent, std::move(file.content), file.info, {}};
  if (file.status == WholeFileStatus::kNotRegular) {
    result.why = "it is " + Kind(file.info.st_mode) + ", not a file";
  } else if (file.error != 0 && !absent) {
    result.why = std::strerror(file.error);
  }
  return result;
}

// Writes `content` to `path` through a temporary file in the same folder
// that is renamed over it, so that a reader sees the old file or the new
// one, never a part. The file gets `mode` and, with `owner`, that file's
// owner and group. Returns empty, or why it failed (nothing is changed then).
std::string WriteAtomically(const std::string& path, std::string_view content, mode_t mode,
                            const struct stat* owner = nullptr) {
  std::error_code error;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), error);
  if (error) return error.message();
  std::string temporary = path + ".XXXXXX";
  FileDescriptor fd(::mkstemp(temporary.data()));
  if (fd.get() < 0) return std::strerror(errno);
  const auto fail = [&](int failure) {
    fd.Reset();
    ::unlink(temporary.c_str());
    return std::string(std::strerror(failure));
  };
  if (const int failure = kestrine_posix::WriteAll(fd.get(), content); failure != 0) return fail(failure);
  struct stat made {};
  if (::fstat(fd.get(), &made) != 0) return fail(errno);
  if (owner != nullptr && (made.st_uid != owner->st_uid || made.st_gid != owner->st_gid) &&
      ::fchown(fd.get(), owner->st_uid, owner->st_gid) != 0) {
    return fail(errno);
  }
  // After the change of owner, which clears the set-id bits.
  if (::fchmod(fd.get(), mode & 07777) != 0) return fail(errno);
  if (const int failure = fd.Close(); failure != 0) return fail(failure);
  if (::rename(temporary.c_str(), path.c_str()) != 0) return fail(errno);
  return {};
}

bool CarriesMarker(std::string_view content) {
  return content.starts_with(kServiceEntryMarker) ||
         content.find("\n" + std::string(kServiceEntryMarker)) != std::string_view::npos;
}


}  // namespace

std::string Slug(std::string_view command) {
  std::string slug;
  for (char c : command) {
    if (c == ' ') {
      slug += '-';
    } else {
      slug += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
  }
  return slug;
}

std::string_view FileManagerName(FileManager manager) {
  switch (manager) {
    case FileManager::kDolphin: return "Dolphin";
    case FileManager::kNautilus: return "Nautilus";
    case FileManager::kCaja: return "Caja";
    case FileManager::kNemo: return "Nemo";
    case FileManager::kThunar: return "Thunar";
    case FileManager::kFileManagerActions: return "PCManFM";
  }
  return "?";
}

const std::vector<std::string_view>& FileManagerPrograms(FileManager manager) {
  static const std::map<FileManager, std::vector<std::string_view>> programs = {
      {FileManager::kDolphin, {"dolphin"}},
      {FileManager::kNautilus, {"nautilus"}},
      {FileManager::kCaja, {"caja"}},
      {FileManager::kNemo, {"nemo"}},
      {FileManager::kThunar, {"thunar"}},
      {FileManager::kFileManagerActions, {"pcmanfm-qt", "pcmanfm"}},
  };
  return programs.at(manager);
}

std::string QuoteDesktopExecArgument(std::string_view argument) {
  // Inside double quotes, ", `, $ and \ are escaped with a backslash; the
  // backslash itself is doubled again because desktop files unescape once.
  std::string quoted = "\"";
  for (char c : argument) {
    if (c == '"' || c == '`' || c == '$') {
      quoted += "\\\\";
    } else if (c == '\\') {
      quoted += "\\\\\\";
    }
    quoted += c;
  }
  quoted += '"';
  return quoted;
}

std::string QuoteShellArgument(std::string_view argument) {
  std::string quoted = "'";
  for (char c : argument) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  quoted += '\'';
  return quoted;
}

namespace {

// Every file manager's entries for `executable`, below the data folder
// `data` and the config folder `config`, each starting with `marker` (after
// a script's first line).
std::vector<ServiceEntryFile> EntryFiles(const std::string& executable, const std::string& data,
                                         const std::string& config, const std::string& marker) {
  const std::vector<std::string_view>& commands = ServiceUserDataStrings();
  std::vector<ServiceEntryFile> files;

  ServiceEntryFile dolphin{data + "/kio/servicemenus/kestrine.desktop", marker, true,
                           FileManager::kDolphin, ""};
  dolphin.content +=
      "[Desktop Entry]\nType=Service\nMimeType=all/all;\nX-KDE-Submenu=Kestrine\nActions=";
  for (std::string_view command : commands) dolphin.content += Slug(command) + ";";
  dolphin.content += "\n";
  dolphin.signature = dolphin.content.substr(dolphin.content.find("\nX-KDE-Submenu="));
  for (std::string_view command : commands) {
    dolphin.content += "\n[Desktop Action " + Slug(command) + "]\nName=" + std::string(command) +
                       "\nIcon=edit-copy\nExec=" + QuoteDesktopExecArgument(executable) + " " +
                       QuoteDesktopExecArgument(command) + " %F\n";
  }
  files.push_back(std::move(dolphin));

  for (const auto& [folder, manager] :
       {std::pair{data + "/nautilus/scripts/Kestrine", FileManager::kNautilus},
        std::pair{config + "/caja/scripts/Kestrine", FileManager::kCaja}}) {
    for (std::string_view command : commands) {
      const std::string signature =
          "\n# Kestrine: " + std::string(command) + " of the selected items.\n";
      files.push_back({folder + "/" + std::string(command),
                       "#!/bin/sh\n" + marker + signature.substr(1) + "exec " +
                           QuoteShellArgument(executable) + " " + QuoteShellArgument(command) +
                           " \"$@\"\n",
                       true, manager, signature});
    }
  }

  for (std::string_view command : commands) {
    files.push_back({data + "/nemo/actions/kestrine-" + Slug(command) + ".nemo_action",
                     marker + "[Nemo Action]\nName=" + std::string(command) +
                         "\nComment=Kestrine: " + std::string(command) +
                         " of the selected items\nExec=" + QuoteDesktopExecArgument(executable) +
                         " " + QuoteDesktopExecArgument(command) +
                         " %F\nIcon-Name=edit-copy\nSelection=notnone\nExtensions=any;\n",
                     false, FileManager::kNemo,
                     "\nComment=Kestrine: " + std::string(command) + " of the selected items\n"});
  }

  const std::string actions = data + "/file-manager/actions/";
  ServiceEntryFile menu{actions + "kestrine.desktop",
                        marker + "[Desktop Entry]\nType=Menu\nName=Kestrine\nIcon=edit-copy\n"
                                 "ItemsList=",
                        false, FileManager::kFileManagerActions, ""};
  for (std::string_view command : commands) menu.content += "kestrine-" + Slug(command) + ";";
  menu.content += "\n";
  menu.signature = menu.content.substr(menu.content.find("\nItemsList="));
  files.push_back(std::move(menu));
  for (std::string_view command : commands) {
    const std::string name(command);
    files.push_back({actions + "kestrine-" + Slug(command) + ".desktop",
                     marker + "[Desktop Entry]\nType=Action\nName=" + name +
                         "\nTooltip=Kestrine: " + name +
                         " of the selected items\nIcon=edit-copy\nProfiles=any;\n\n"
                         "[X-Action-Profile any]\nName=" + name + "\nMimeTypes=all/all;\nExec=" +
                         QuoteDesktopExecArgument(executable) + " " +
                         QuoteDesktopExecArgument(command) + " %F\n",
                     false, FileManager::kFileManagerActions,
                     "\nTooltip=Kestrine: " + name + " of the selected items\n"});
  }
  return files;
}

}  // namespace

std::vector<ServiceEntryFile> ServiceEntryFiles(const std::string& executable) {
  return EntryFiles(executable, FolderOr(XdgDataHome(), ".local/share"),
                    FolderOr(XdgConfigHome(), ".config"), std::string(kServiceEntryMarker));
}

std::vector<ServiceEntryFile> SystemServiceEntryFiles(const std::string& executable,
                                                      const std::string& dataFolder,
                                                      const std::set<FileManager>& managers) {
  std::vector<ServiceEntryFile> files;
  for (ServiceEntryFile& entry : EntryFiles(executable, dataFolder, dataFolder, "")) {
    if (managers.contains(entry.manager) &&
        (entry.manager == FileManager::kDolphin || entry.manager == FileManager::kNemo ||
         entry.manager == FileManager::kFileManagerActions)) {
      entry.executable = false;
      files.push_back(std::move(entry));
    }
  }
  return files;
}

bool WritesUserEntries(const std::string& executable, const std::string& installedExecutable,
                       const std::string& home) {
  if (installedExecutable.empty()) return true;
  std::error_code error;
  const std::string installed = std::filesystem::weakly_canonical(installedExecutable, error).string();
  if (error || installed != std::filesystem::weakly_canonical(executable, error).string() || error) {
    return true;
  }
  std::string homeFolder = std::filesystem::weakly_canonical(home, error).string();
  if (error) return false;
  while (homeFolder.size() > 1 && homeFolder.back() == '/') homeFolder.pop_back();
  // A home of "/" would hold every prefix; it holds none.
  return homeFolder.size() > 1 && installed.starts_with(homeFolder + "/");
}

std::string ThunarCustomActionsPath() {
  return FolderOr(XdgConfigHome(), ".config") + "/Thunar/uca.xml";
}

namespace {

// One run over the entry files, which adds to its report.
class EntryRun final {
 public:
  explicit EntryRun(ServiceEntriesReport& report) : report_(report) {}

  // Reports that the file at `path` is not touched, and why.
  void LeftAlone(const std::string& path, const std::string& why) {
    report_.problems.push_back(path + " is left alone: " + why);
  }

  // What stands at an entry's path: absent, Kestrine's own file, or
  // something of the user's (none is returned, and with `tell` it is said).
  std::optional<Existing> Own(const ServiceEntryFile& entry, bool tell = true) {
    const std::string& path = entry.path;
    std::string why;
    struct stat info {};
    Existing existing;
    if (::lstat(path.c_str(), &info) != 0 && errno == ENOENT) {
      existing.absent = true;
      return existing;
    }
    if (S_ISLNK(info.st_mode)) {
      why = "it is a symbolic link, not a file KestrineService wrote";
    } else {
      existing = ReadExisting(path);
      why = existing.why;
      if (why.empty() && !existing.absent && !CarriesMarker(existing.content) &&
          existing.content.find(entry.signature) == std::string::npos) {
        why = "KestrineService did not write it (it lacks KestrineService's marker line)";
      }
    }
    if (why.empty()) return existing;
    if (tell) LeftAlone(path, why);
    return std::nullopt;
  }

  // Writes `entry` unless it is up to date or a file of the user's is there.
  void Write(const ServiceEntryFile& entry) {
    const std::optional<Existing> existing = Own(entry);
    if (!existing) return;
    if (!existing->absent && existing->content == entry.content &&
        ((existing->info.st_mode & S_IXUSR) != 0) == entry.executable) {
      ++report_.upToDate;
      return;
    }
    const mode_t mode = entry.executable ? 0755 : 0644;
    if (std::string failure = WriteAtomically(entry.path, entry.content, mode); !failure.empty()) {
      report_.problems.push_back("cannot write " + entry.path + ": " + failure);
      return;
    }
    ++report_.written;
  }

  // Removes Kestrine's file at the entry's path; returns whether it did.
  // With `tell`, a file of the user's there is said to be left alone.
  bool Remove(const ServiceEntryFile& entry, bool tell = true) {
    const std::string& path = entry.path;
    const std::optional<Existing> existing = Own(entry, tell);
    if (!existing || existing->absent) return false;
    if (::unlink(path.c_str()) != 0) {
      report_.problems.push_back("cannot remove " + path + ": " + std::strerror(errno));
      return false;
    }
    ++report_.removed;
    // The scripts' own "Kestrine" folder goes when it is left empty.
    const std::filesystem::path folder = std::filesystem::path(path).parent_path();
    if (folder.filename() == "Kestrine") ::rmdir(folder.c_str());
    return true;
  }

  // Takes Kestrine's actions out of Thunar's custom actions file and adds
  // `actions`, if any; without them a missing file stays missing, with them
  // it is made from the system's default. Returns how many of Kestrine's
  // actions the file held.
  int EditThunar(const std::optional<std::string>& actions) {
    const std::string path = ThunarCustomActionsPath();
    std::string target = path;
    struct stat info {};
    if (::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
      // Written through to the file the link leads to, so the link stays.
      char resolved[PATH_MAX];
      if (::realpath(path.c_str(), resolved) == nullptr) {
        LeftAlone(path, std::string("it is a symbolic link that leads to no file (") +
                            std::strerror(errno) + ")");
        return 0;
      }
      target = resolved;
    }
    Existing existing = ReadExisting(target);
    if (!existing.why.empty()) {
      LeftAlone(path, existing.why);
      return 0;
    }
    if (existing.absent) {
      if (!actions) return 0;
      SystemDefault(existing.content);
    }
    std::string why;
    int removed = 0;
    const std::optional<std::string> edited =
        EditThunarCustomActions(existing.content, actions, &why, &removed);
    if (!edited) {
      LeftAlone(path, why);
      return 0;
    }
    if (!existing.absent && *edited == existing.content) {
      if (actions) ++report_.upToDate;
      return removed;
    }
    const struct stat* owner = existing.absent ? nullptr : &existing.info;
    const mode_t mode = existing.absent ? 0644 : existing.info.st_mode;
    if (!existing.absent) {
      if (std::string failure = WriteAtomically(target + ".bak", existing.content, mode, owner);
          !failure.empty()) {
        report_.problems.push_back("cannot write " + target + ".bak: " + failure + "; " + path +
                                   " is left alone");
        return 0;
      }
    }
    if (std::string failure = WriteAtomically(target, *edited, mode, owner); !failure.empty()) {
      report_.problems.push_back("cannot write " + target + ": " + failure);
      return 0;
    }
    if (actions) ++report_.written;
    return removed;
  }

 private:
  // The system's default custom actions, the first Thunar/uca.xml in
  // ${XDG_CONFIG_DIRS:-/etc/xdg} that is a well-formed file, into `content`.
  void SystemDefault(std::string& content) {
    for (const std::string& folder : XdgConfigDirs()) {
      const std::string path = folder + "/Thunar/uca.xml";
      Existing system = ReadExisting(path);
      if (system.absent) continue;
      std::string why;
      if (!system.why.empty() || !ScanThunarCustomActions(system.content, &why)) {
        report_.notes.push_back("Thunar: " + path + " is passed over: " +
                                (system.why.empty() ? why : system.why));
        continue;
      }
      report_.notes.push_back("Thunar: " + ThunarCustomActionsPath() + " starts as a copy of " +
                              path);
      content = std::move(system.content);
      return;
    }
  }

  ServiceEntriesReport& report_;
};

}  // namespace

ServiceEntriesReport NSUpdateDynamicServices(const std::string& executable,
                                             const ExtensionModulePaths& modules) {
  ServiceEntriesReport report;
  EntryRun run(report);
  std::vector<FileManager> found;
  std::string lookedFor;
  for (FileManager manager : {FileManager::kDolphin, FileManager::kNautilus, FileManager::kCaja,
                              FileManager::kNemo, FileManager::kThunar,
                              FileManager::kFileManagerActions}) {
    const std::vector<std::string_view>& programs = FileManagerPrograms(manager);
    if (std::any_of(programs.begin(), programs.end(), [](std::string_view program) {
          return kestrine_pasteboard::FindProgramOnPath(program).has_value();
        })) {
      found.push_back(manager);
    }
    for (std::string_view program : programs) {
      lookedFor += (lookedFor.empty() ? "" : ", ") + std::string(program);
    }
  }
  if (found.empty()) {
    report.notes.push_back("no file manager found: none of " + lookedFor +
                           " is on PATH; no entries written");
    return report;
  }
  std::string names;
  for (FileManager manager : found) {
    names += (names.empty() ? "" : ", ") + std::string(FileManagerName(manager));
  }
  report.notes.push_back("file managers found: " + names);

  std::set<FileManager> withModule;
  for (FileManager manager : found) {
    const auto module = modules.find(manager);
    struct stat info {};
    if (module != modules.end() && !module->second.empty() &&
        ::stat(module->second.c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
      withModule.insert(manager);
    }
  }
  const std::vector<ServiceEntryFile> files = ServiceEntryFiles(executable);
  for (FileManager manager : withModule) {
    int removed = 0;
    for (const ServiceEntryFile& entry : files) {
      // The user's own files there stand in no one's way.
      if (entry.manager == manager && run.Remove(entry, false)) ++removed;
    }
    std::string earlier = removed > 0 ? Plural(removed, "earlier entry file") + " removed" : "";
    // Thunar's entries are actions inside its custom actions file.
    if (manager == FileManager::kThunar) {
      if (const int actions = run.EditThunar(std::nullopt); actions > 0) {
        earlier = Plural(actions, "earlier action") + " removed from " + ThunarCustomActionsPath();
      }
    }
    report.notes.push_back(std::string(FileManagerName(manager)) +
                           " loads Kestrine's extension module " + modules.at(manager) +
                           ", so it gets no entries of its own" +
                           (earlier.empty() ? std::string() : " (" + earlier + ")"));
  }
  for (const ServiceEntryFile& entry : files) {
    if (std::find(found.begin(), found.end(), entry.manager) != found.end() &&
        !withModule.contains(entry.manager)) {
      run.Write(entry);
    }
  }
  if (std::find(found.begin(), found.end(), FileManager::kThunar) != found.end() &&
      !withModule.contains(FileManager::kThunar)) {
    run.EditThunar(ThunarActions(executable));
  }

  const int leftAlone = static_cast<int>(report.problems.size());
  if (report.written == 0 && leftAlone == 0) {
    if (report.upToDate > 0) {
      report.notes.push_back("entries for " + executable + " are up to date (" +
                             Plural(report.upToDate, "file") + ")");
    }
  } else {
    std::string summary = "entries for " + executable + ": wrote " + Plural(report.written, "file");
    if (report.upToDate > 0) {
      summary += ", " + std::to_string(report.upToDate) + " already up to date";
    }
    if (leftAlone > 0) summary += ", " + std::to_string(leftAlone) + " not written (see above)";
    report.notes.push_back(summary);
  }
  return report;
}

ServiceEntriesReport RemoveServiceEntries() {
  ServiceEntriesReport report;
  EntryRun run(report);
  // The paths do not depend on the program's location.
  for (const ServiceEntryFile& entry : ServiceEntryFiles("KestrineService")) run.Remove(entry);
  const int actions = run.EditThunar(std::nullopt);
  if (report.removed > 0) report.notes.push_back("removed " + Plural(report.removed, "entry file"));
  if (actions > 0) {
    report.notes.push_back("removed Kestrine's " + Plural(actions, "action") + " from " +
                           ThunarCustomActionsPath());
  }
  if (report.removed == 0 && actions == 0 && report.problems.empty()) {
    report.notes.push_back("no entries to remove");
  }
  return report;
}
