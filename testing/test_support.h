// Helpers shared by the tests: temporary folders, environment variables and
// settings files that are undone when the test ends.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrine_testing {

// A fresh folder under $TMPDIR (or /tmp), removed with everything in it when
// the object goes out of scope.
class ScopedTempDir final {
 public:
  ScopedTempDir();
  ~ScopedTempDir();
  ScopedTempDir(const ScopedTempDir&) = delete;
  ScopedTempDir& operator=(const ScopedTempDir&) = delete;

  const std::string& path() const { return path_; }
  // `path()` + "/" + `relative`.
  std::string Join(std::string_view relative) const;

 private:
  std::string path_;
};

// Sets (or, with none, unsets) an environment variable until the object goes
// out of scope.
class ScopedEnv final {
 public:
  ScopedEnv(std::string name, std::optional<std::string> value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// A user of the system in a temporary folder: HOME, XDG_CONFIG_HOME,
// XDG_DATA_HOME and XDG_RUNTIME_DIR point inside it, and no display is set,
// so the clipboard is the per-user file.
class ScopedUser final {
 public:
  ScopedUser();
  const std::string& root() const { return dir_.path(); }
  std::string home() const { return dir_.Join("home"); }
  std::string SettingsPath() const;
  // The per-user clipboard file's content, or none when it is absent.
  std::optional<std::string> Clipboard() const;
  // Puts `text` on the per-user clipboard file, as an earlier copy would.
  void SetClipboard(std::string_view text) const;
  // Replaces the settings file with a property list whose top-level
  // dictionary holds `entries`, XML text such as
  // "<key>LabelItems</key><true/>".
  void WriteSettings(std::string_view entries) const;

 private:
  ScopedTempDir dir_;
  std::vector<std::unique_ptr<ScopedEnv>> env_;
};

// What a finished program left.
struct RunResult {
  int exitStatus = -1;  // The exit status, or 128 + signal number.
  std::string out;
  std::string err;
};

// Runs `argv` (argv[0] a path) with the current environment, in `cwd` when
// given, with standard input from /dev/null, and waits for it to end.
// `inChild`, when given, runs in the child before the program starts (to
// drop privileges or lower a limit); when it answers false the child ends
// with status 126.
RunResult RunProgram(const std::vector<std::string>& argv, const std::optional<std::string>& cwd = {},
                     const std::function<bool()>& inChild = {});

// Runs `body` in a forked child and waits for it: `out` is the text `body`
// returned, `exitStatus` 0, or 128 + the signal that ended the child. For
// tests that drop privileges or lower limits without touching the test
// process.
RunResult RunForked(const std::function<std::string()>& body);

// Makes the calling process the user and group "nobody" (65534), with no
// supplementary groups, for good. False when that fails.
bool BecomeNobody();

// Makes `path` and everything below it owned by "nobody", so a child that
// became nobody may use it.
void GiveTreeToNobody(const std::string& path);

// Makes a chain of `depth` folders named `name` inside the folder `parent`,
// each inside the one before; paths may grow beyond PATH_MAX.
void MakeFolderChain(const std::string& parent, const std::string& name, int depth);

// An X server of its own (Xvfb, on a display number it picks), with DISPLAY
// set to it while the object lives. Helpers that still serve its clipboard
// are ended with it.
class ScopedXvfb final {
 public:
  ScopedXvfb();
  ~ScopedXvfb();
  ScopedXvfb(const ScopedXvfb&) = delete;
  ScopedXvfb& operator=(const ScopedXvfb&) = delete;

  // Whether the server runs; when not, `error()` says why.
  bool running() const { return pid_ > 0 && !display_.empty(); }
  const std::string& error() const { return error_; }
  // The CLIPBOARD selection as `xclip -o` reads it, retried for up to five
  // seconds until it equals `expected`.
  std::string ReadClipboardExpecting(const std::string& expected) const;

 private:
  int pid_ = 0;
  std::string display_;
  std::string error_;
  std::unique_ptr<ScopedEnv> env_;
};

// Creates the folders of `path` and writes `bytes` to it.
void WriteFile(const std::string& path, std::string_view bytes);
// Creates `path` and its parents.
void MakeDirs(const std::string& path);
// The file's content, or none when it cannot be read.
std::optional<std::string> ReadFile(const std::string& path);

}  // namespace kestrine_testing
