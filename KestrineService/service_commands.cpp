#include "KestrineService/service_commands.h"

#include <span>

#include "engine/commands.h"

std::optional<std::int32_t> CommandIDForUserData(std::string_view userData) {
  for (const CopyCommand& command : kCopyCommands) {
    if (command.CommandString() == userData) return command.commandID;
  }
  return std::nullopt;
}

const std::vector<std::string_view>& ServiceUserDataStrings() {
  static const std::vector<std::string_view> strings = [] {
    // The composite commands first, then the single forms.
    const std::span<const CopyCommand> all(kCopyCommands);
    std::vector<std::string_view> result;
    for (const auto part : {all.subspan(kSingleFormCount), all.first(kSingleFormCount)}) {
      for (const CopyCommand& command : part) result.push_back(command.CommandString());
    }
    return result;
  }();
  return strings;
}
