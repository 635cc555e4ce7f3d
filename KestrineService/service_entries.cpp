#include "KestrineService/service_entries.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>

#include "KestrineService/AppController.h"
#include "platform/files/launch_services.h"

namespace {

std::string EnvFolder(const char* name, std::string_view fallbackBelowHome) {
  if (const char* value = std::getenv(name); value != nullptr && value[0] == '/') return value;
  return NSHomeDirectory().value_or("/") + "/" + std::string(fallbackBelowHome);
}

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

std::optional<std::string> ReadWhole(const std::string& path) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return std::nullopt;
  std::string content;
  char chunk[4096];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) content.append(chunk, n);
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) {
    errno = EIO;
    return std::nullopt;
  }
  return content;
}

bool WriteAtomically(const ServiceEntryFile& entry) {
  std::error_code error;
  std::filesystem::create_directories(std::filesystem::path(entry.path).parent_path(), error);
  if (error) return false;
  std::string temporary = entry.path + ".XXXXXX";
  const int fd = ::mkstemp(temporary.data());
  if (fd < 0) return false;
  const char* data = entry.content.data();
  size_t left = entry.content.size();
  bool ok = true;
  while (left > 0) {
    const ssize_t n = ::write(fd, data, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      break;
    }
    data += n;
    left -= static_cast<size_t>(n);
  }
  ok = ::fchmod(fd, entry.executable ? 0755 : 0644) == 0 && ok;
  ok = ::close(fd) == 0 && ok;
  if (ok) ok = ::rename(temporary.c_str(), entry.path.c_str()) == 0;
  if (!ok) ::unlink(temporary.c_str());
  return ok;
}

std::string EscapeXML(std::string_view text) {
  std::string escaped;
  for (char c : text) {
    switch (c) {
      case '&': escaped += "&amp;"; break;
      case '<': escaped += "&lt;"; break;
      case '>': escaped += "&gt;"; break;
      case '"': escaped += "&quot;"; break;
      case '\'': escaped += "&apos;"; break;
      default: escaped += c;
    }
  }
  return escaped;
}

constexpr std::string_view kThunarIDPrefix = "<unique-id>kestrine-";

// The actions of Kestrine, as Thunar writes its own.
std::string ThunarActions(const std::string& executable) {
  std::string actions;
  for (std::string_view command : ServiceUserDataStrings()) {
    const std::string name(command);
    actions += "<action>\n\t<icon>edit-copy</icon>\n\t<name>" + EscapeXML(name) +
               "</name>\n\t<submenu>Kestrine</submenu>\n\t" + std::string(kThunarIDPrefix) +
               Slug(command) + "</unique-id>\n\t<command>" +
               EscapeXML(QuoteShellArgument(executable) + " " + QuoteShellArgument(name) + " %F") +
               "</command>\n\t<description>Kestrine: " + EscapeXML(name) +
               " of the selected items</description>\n\t<range></range>\n\t<patterns>*</patterns>"
               "\n\t<directories/>\n\t<audio-files/>\n\t<image-files/>\n\t<other-files/>"
               "\n\t<text-files/>\n\t<video-files/>\n</action>\n";
  }
  return actions;
}

bool IsUpToDate(const ServiceEntryFile& entry) {
  struct stat info {};
  if (::stat(entry.path.c_str(), &info) != 0) return false;
  const bool executable = (info.st_mode & S_IXUSR) != 0;
  return executable == entry.executable && ReadWhole(entry.path) == entry.content;
}

}  // namespace

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

std::vector<ServiceEntryFile> ServiceEntryFiles(const std::string& executable) {
  const std::string data = EnvFolder("XDG_DATA_HOME", ".local/share");
  const std::string config = EnvFolder("XDG_CONFIG_HOME", ".config");
  const std::vector<std::string_view>& commands = ServiceUserDataStrings();
  std::vector<ServiceEntryFile> files;

  ServiceEntryFile dolphin{data + "/kio/servicemenus/kestrine.desktop", "", true};
  dolphin.content =
      "[Desktop Entry]\nType=Service\nMimeType=all/all;\nX-KDE-Submenu=Kestrine\nActions=";
  for (std::string_view command : commands) dolphin.content += Slug(command) + ";";
  dolphin.content += "\n";
  for (std::string_view command : commands) {
    dolphin.content += "\n[Desktop Action " + Slug(command) + "]\nName=" + std::string(command) +
                       "\nIcon=edit-copy\nExec=" + QuoteDesktopExecArgument(executable) + " " +
                       QuoteDesktopExecArgument(command) + " %F\n";
  }
  files.push_back(std::move(dolphin));

  for (const std::string& folder :
       {data + "/nautilus/scripts/Kestrine", config + "/caja/scripts/Kestrine"}) {
    for (std::string_view command : commands) {
      files.push_back({folder + "/" + std::string(command),
                       "#!/bin/sh\n# Kestrine: " + std::string(command) + " of the selected items.\n"
                       "exec " + QuoteShellArgument(executable) + " " +
                           QuoteShellArgument(command) + " \"$@\"\n",
                       true});
    }
  }

  for (std::string_view command : commands) {
    files.push_back({data + "/nemo/actions/kestrine-" + Slug(command) + ".nemo_action",
                     "[Nemo Action]\nName=" + std::string(command) +
                         "\nComment=Kestrine: " + std::string(command) +
                         " of the selected items\nExec=" + QuoteDesktopExecArgument(executable) +
                         " " + QuoteDesktopExecArgument(command) +
                         " %F\nIcon-Name=edit-copy\nSelection=notnone\nExtensions=any;\n",
                     false});
  }

  const std::string actions = data + "/file-manager/actions/";
  ServiceEntryFile menu{actions + "kestrine.desktop",
                        "[Desktop Entry]\nType=Menu\nName=Kestrine\nIcon=edit-copy\nItemsList=",
                        false};
  for (std::string_view command : commands) menu.content += "kestrine-" + Slug(command) + ";";
  menu.content += "\n";
  files.push_back(std::move(menu));
  for (std::string_view command : commands) {
    const std::string name(command);
    files.push_back({actions + "kestrine-" + Slug(command) + ".desktop",
                     "[Desktop Entry]\nType=Action\nName=" + name + "\nTooltip=Kestrine: " + name +
                         " of the selected items\nIcon=edit-copy\nProfiles=any;\n\n"
                         "[X-Action-Profile any]\nName=" + name + "\nMimeTypes=all/all;\nExec=" +
                         QuoteDesktopExecArgument(executable) + " " +
                         QuoteDesktopExecArgument(command) + " %F\n",
                     false});
  }
  return files;
}

std::string ThunarCustomActionsPath() {
  return EnvFolder("XDG_CONFIG_HOME", ".config") + "/Thunar/uca.xml";
}

std::optional<std::string> MergeThunarCustomActions(std::string_view existing,
                                                    const std::string& executable) {
  if (existing.empty()) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<actions>\n" + ThunarActions(executable) +
           "</actions>\n";
  }
  const std::size_t end = existing.rfind("</actions>");
  if (end == std::string_view::npos) return std::nullopt;
  // Everything but Kestrine's own action blocks, as it stands.
  std::string merged;
  std::size_t at = 0;
  while (at < end) {
    const std::size_t open = existing.find("<action>", at);
    const std::size_t close = open == std::string_view::npos || open >= end
                                  ? std::string_view::npos
                                  : existing.find("</action>", open);
    if (close == std::string_view::npos || close >= end) break;
    std::size_t blockEnd = close + std::string_view("</action>").size();
    const std::string_view block = existing.substr(open, blockEnd - open);
    if (block.find(kThunarIDPrefix) == std::string_view::npos) {
      merged.append(existing.substr(at, blockEnd - at));
    } else {
      merged.append(existing.substr(at, open - at));
      // The line break after one of our blocks goes with it.
      if (blockEnd < end && existing[blockEnd] == '\n') ++blockEnd;
    }
    at = blockEnd;
  }
  merged.append(existing.substr(at, end - at));
  if (!merged.empty() && merged.back() != '\n') merged += '\n';
  merged += ThunarActions(executable);
  merged.append(existing.substr(end));
  return merged;
}

namespace {

// Merges Kestrine's actions into Thunar's file. Returns 1 when it was
// written, 0 when it was up to date or is left alone, -1 on a failure.
int UpdateThunarCustomActions(const std::string& executable) {
  const std::string path = ThunarCustomActionsPath();
  const std::optional<std::string> existing = ReadWhole(path);
  if (!existing && errno != ENOENT) {
    std::fprintf(stderr, "KestrineService: %s is left alone: %s\n", path.c_str(),
                 std::strerror(errno));
    return 0;
  }
  const std::optional<std::string> merged =
      MergeThunarCustomActions(existing.value_or(""), executable);
  if (!merged) {
    std::fprintf(stderr, "KestrineService: %s is left alone: it holds no </actions>\n",
                 path.c_str());
    return 0;
  }
  if (merged == existing) return 0;
  if (existing && !WriteAtomically({path + ".bak", *existing, false})) {
    std::fprintf(stderr, "KestrineService: cannot write %s.bak: %s\n", path.c_str(),
                 std::strerror(errno));
    return -1;
  }
  if (!WriteAtomically({path, *merged, false})) {
    std::fprintf(stderr, "KestrineService: cannot write %s: %s\n", path.c_str(),
                 std::strerror(errno));
    return -1;
  }
  return 1;
}

}  // namespace

int NSUpdateDynamicServices(const std::string& executable) {
  int written = 0;
  for (const ServiceEntryFile& entry : ServiceEntryFiles(executable)) {
    if (IsUpToDate(entry)) continue;
    if (!WriteAtomically(entry)) {
      std::fprintf(stderr, "KestrineService: cannot write %s: %s\n", entry.path.c_str(),
                   std::strerror(errno));
      return -1;
    }
    ++written;
  }
  const int thunar = UpdateThunarCustomActions(executable);
  return thunar < 0 ? -1 : written + thunar;
}
