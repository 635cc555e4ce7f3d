#include "KestrineService/service_commands.h"

#include <array>

#include "engine/path_forms.h"

namespace {

struct ServiceCommand {
  std::string_view userData;
  std::int32_t commandID;
};

constexpr std::array<ServiceCommand, 12> kServiceCommands = {{
    {"Copy All Paths", kCopyAll},
    {"Copy Folder Paths", kCopyFolderPaths},
    {"Copy Posix Path", kCopyPosixPath},
    {"Copy Encoded Posix Path", kCopyEncodedPosixPath},
    {"Copy Tilde Posix Path", kCopyTildePosixPath},
    {"Copy Terminal Path", kCopyTerminalPath},
    {"Copy HFS Path", kCopyHFSPath},
    {"Copy Filename", kCopyFilename},
    {"Copy Display Filename", kCopyDisplayFilename},
    {"Copy Extension", kCopyExtension},
    {"Copy UNC Windows Style Path", kCopyUNCWindowsStylePath},
    {"Copy AFP URL", kCopyAFPURL},
}};

}  // namespace

std::optional<std::int32_t> CommandIDForUserData(std::string_view userData) {
  for (const ServiceCommand& command : kServiceCommands) {
    if (command.userData == userData) return command.commandID;
  }
  return std::nullopt;
}

const std::vector<std::string_view>& ServiceUserDataStrings() {
  static const std::vector<std::string_view> strings = [] {
    std::vector<std::string_view> result;
    for (const ServiceCommand& command : kServiceCommands) result.push_back(command.userData);
    return result;
  }();
  return strings;
}
