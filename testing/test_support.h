// Helpers shared by the tests: temporary folders, environment variables and
// settings files that are undone when the test ends.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <csignal>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
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
  // Gives everything in the user's folder to the system user `uid` and its
  // group, so that a program run as that user may use it (needs root unless
  // `uid` is this process's user).
  void GiveTo(uid_t uid) const;

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

// How RunProgramWith starts a program.
struct RunOptions {
  std::optional<std::string> cwd = std::nullopt;
  // Runs it as this user, with the user's group and no supplementary groups.
  std::optional<uid_t> user = std::nullopt;
  // Its file-size limit (RLIMIT_FSIZE), with SIGXFSZ at its default action.
  std::optional<rlim_t> fileSizeLimit = std::nullopt;
  // Further resource limits set in the child before it starts:
  // (RLIMIT_..., value), the value both soft and hard limit.
  std::vector<std::pair<int, std::uint64_t>> limits = {};
  // Seconds after which the child is killed (status 128 + SIGKILL); 0 waits
  // as long as it runs.
  int timeoutSeconds = 0;
  // Runs in the child before the program starts, after the limits and before
  // the change of user; when it answers false the child ends with status 126.
  std::function<bool()> inChild = {};
};

// Runs `argv` like RunProgram, as `options` say. Its output is read through
// pipes, so a file-size limit does not cut it short; what the program's
// background children still write after it ended is not waited for.
RunResult RunProgramWith(const std::vector<std::string>& argv, const RunOptions& options);

// A user to run programs as who is not root: "nobody" when this process runs
// as root, else this process's own user.
uid_t UnprivilegedUser();

// Makes the calling process (a forked child, as a rule) `uid`, with its
// group and no supplementary groups. Returns whether it succeeded.
bool BecomeUser(uid_t uid);

// A Wayland compositor of its own: sway, headless, run as `user` in the
// current XDG_RUNTIME_DIR (which that user must own, mode 0700), with
// WAYLAND_DISPLAY set to its socket while the object lives.
class ScopedSway final {
 public:
  explicit ScopedSway(uid_t user);
  ~ScopedSway();
  ScopedSway(const ScopedSway&) = delete;
  ScopedSway& operator=(const ScopedSway&) = delete;

  // Whether the compositor runs; when not, `error()` says why.
  bool running() const { return pid_ > 0 && error_.empty(); }
  const std::string& error() const { return error_; }
  // The clipboard as `wl-paste --no-newline`, run as the user, reads it
  // (empty when nothing is offered), retried for up to five seconds until it
  // equals `expected`.
  std::string ReadClipboardExpecting(const std::string& expected) const;

 private:
  uid_t user_;
  int pid_ = 0;
  std::string error_;
  std::unique_ptr<ScopedEnv> env_;
};

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

// A `finder serve` process of the program at `finder`, in the current
// environment, ready when constructed, ended with SIGTERM.
class ScopedFinder final {
 public:
  explicit ScopedFinder(const std::string& finder);
  ~ScopedFinder();
  ScopedFinder(const ScopedFinder&) = delete;
  ScopedFinder& operator=(const ScopedFinder&) = delete;

  // Whether it wrote "ready", so that it answers events.
  bool ready() const { return ready_; }
  pid_t pid() const { return pid_; }
  // Sends `signal` and, unless it is SIGSTOP or SIGCONT, waits for the end;
  // returns the wait status then, else 0 (-1 when it has ended already).
  int Stop(int signal = SIGTERM);
  // Runs `finder select ARGS...` and returns its exit status.
  int Select(const std::vector<std::string>& args) const;

 private:
  std::string path_;
  pid_t pid_ = 0;
  bool ready_ = false;
};

// Creates the folders of `path` and writes `bytes` to it.
void WriteFile(const std::string& path, std::string_view bytes);
// Creates `path` and its parents.
void MakeDirs(const std::string& path);
// The file's content, or none when it cannot be read.
std::optional<std::string> ReadFile(const std::string& path);

// Sets environment variables until the object goes out of scope; each one
// gets back the value it had before its first `Set`.
class ScopedEnvironment final {
 public:
  ScopedEnvironment() = default;
  ~ScopedEnvironment();
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

  // Sets `name` to `value`, or unsets it with none.
  void Set(const std::string& name, const std::optional<std::string>& value);

 private:
  std::map<std::string, std::optional<std::string>> saved_;
};

// Sends standard error to a temporary file while the object lives or until
// `Restore`.
class CapturedStderr final {
 public:
  CapturedStderr();
  ~CapturedStderr();
  CapturedStderr(const CapturedStderr&) = delete;
  CapturedStderr& operator=(const CapturedStderr&) = delete;

  // Puts the earlier standard error back; later calls do nothing.
  void Restore();
  // Everything written so far.
  std::string Text() const;
  // Restores standard error and returns the lines written, without their
  // line feeds.
  std::vector<std::string> Lines();

 private:
  std::string path_;
  int saved_ = -1;
};

// The lines of `text`, without their line feeds.
std::vector<std::string> SplitLines(std::string_view text);

// A whole XML property list whose top-level dictionary holds `entries`, XML
// text such as "<key>A</key><true/>", laid out as the preferences store
// writes it: the usual header, then "<plist version=\"1.0\">\n<dict>\n",
// the entries and "</dict>\n</plist>\n".
std::string XmlPropertyList(std::string_view entries);

// Writes `script` to `path` (creating its folders) with mode `mode`.
void WriteProgram(const std::string& path, std::string_view script = "#!/bin/sh\n", unsigned mode = 0755);

// The names in `folder`, sorted; empty when it cannot be read.
std::vector<std::string> FolderNames(const std::string& folder);

// The path of the system's program `name` in /usr/bin, /bin or
// /usr/local/bin, or empty when there is none.
std::string SystemProgram(std::string_view name);

// Runs `body` in a forked child, which exits with its result. Returns the
// child's id.
pid_t StartChild(const std::function<int()>& body);
// Waits for the child: its exit status, or -1 when it did not exit normally.
int WaitForChild(pid_t pid);
// The child's exit status (-1 when it did not exit normally) once it has
// ended; none while it runs.
std::optional<int> PollChild(pid_t pid);

}  // namespace kestrine_testing
