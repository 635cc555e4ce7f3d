// The twelve commands the Services provider answers to, by the user-data
// string a request names them with; the file managers' entries run the same
// strings.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

// The command ID a user-data string stands for (exact, case-sensitive), or
// none for a string that names no command.
std::optional<std::int32_t> CommandIDForUserData(std::string_view userData);

// The twelve user-data strings, in the order they are matched.
const std::vector<std::string_view>& ServiceUserDataStrings();
