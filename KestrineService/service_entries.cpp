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
  std::fclose(file);
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
  return files;
}

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
  return written;
}
