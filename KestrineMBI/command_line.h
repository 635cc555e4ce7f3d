// The command line of KestrineMBI, read with no toolkit: the options, and
// what needs none (--version, --help, usage errors and --choose, which runs
// from keyboard shortcuts and must start fast).
#pragma once

#include <cstdint>
#include <optional>

enum class Command { kTray, kPreferences, kMenu, kChoose };

struct Options {
  Command command = Command::kTray;
  std::int32_t commandID = 0;
};

// Reads the arguments into `*options` and carries out what needs no
// toolkit. Returns the exit status when that was all, or none when the
// toolkit's part (the tray, --preferences, --menu) is to run.
std::optional<int> RunWithoutToolkit(int argc, char** argv, Options* options);
