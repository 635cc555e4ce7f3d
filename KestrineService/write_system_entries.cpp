// kestrine_system_entries: writes the file managers' entries that a package
// installs for every user, at build time, from the same writer as
// KestrineService's own entries.
//
//   kestrine_system_entries EXECUTABLE DATA_FOLDER [MANAGER...]
//
// EXECUTABLE is the installed KestrineService the entries run; DATA_FOLDER
// stands for the system data folder (a staging copy of /usr/share); each
// MANAGER is one of dolphin, nemo, file-manager-actions. Folders that hold
// earlier entries are emptied of them first, so a file manager left out has
// none. Exit status 0, 1 when a file cannot be written, 2 for wrong usage.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>

#include "KestrineService/service_entries.h"

int main(int argc, char** argv) {
  static const std::map<std::string, FileManager> names = {
      {"dolphin", FileManager::kDolphin},
      {"nemo", FileManager::kNemo},
      {"file-manager-actions", FileManager::kFileManagerActions},
  };
  if (argc < 3) {
    std::fputs("usage: kestrine_system_entries EXECUTABLE DATA_FOLDER [MANAGER...]\n", stderr);
    return 2;
  }
  std::set<FileManager> managers;
  for (int i = 3; i < argc; ++i) {
    const auto found = names.find(argv[i]);
    if (found == names.end()) {
      std::fprintf(stderr, "kestrine_system_entries: unknown file manager \"%s\"\n", argv[i]);
      return 2;
    }
    managers.insert(found->second);
  }
  const std::string folder = argv[2];
  std::error_code error;
  // A file manager dropped since the last build keeps no entries here.
  for (const ServiceEntryFile& entry :
       SystemServiceEntryFiles(argv[1], folder, {FileManager::kDolphin, FileManager::kNemo,
                                                 FileManager::kFileManagerActions})) {
    std::filesystem::remove(entry.path, error);
  }
  for (const ServiceEntryFile& entry : SystemServiceEntryFiles(argv[1], folder, managers)) {
    std::filesystem::create_directories(std::filesystem::path(entry.path).parent_path(), error);
    std::ofstream out(entry.path, std::ios::binary | std::ios::trunc);
    out << entry.content;
    out.close();
    if (error || !out) {
      std::fprintf(stderr, "kestrine_system_entries: cannot write %s\n", entry.path.c_str());
      return 1;
    }
  }
  return 0;
}
