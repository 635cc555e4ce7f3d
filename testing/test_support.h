// Helpers shared by the tests; each undoes what it changed when it goes.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <csignal>
#include <cstdlib>
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

// Whether this is an AddressSanitizer build, which cannot run under RLIMIT_AS.
#if defined(__SANITIZE_ADDRESS__)
#define KESTRINE_TESTING_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KESTRINE_TESTING_ASAN 1
#endif
#endif
#ifdef KESTRINE_TESTING_ASAN
inline constexpr bool kAddressSanitizer = true;
#else
inline constexpr bool kAddressSanitizer = false;
#endif

// Whether KESTRINE_NO_X11_TESTS=1 asks to skip the tests that start an X server.
inline bool X11TestsOff() {
  const char* off = std::getenv("KESTRINE_NO_X11_TESTS");
  return off != nullptr && std::string_view(off) == "1";
}

// Creates the folders of `path` and writes `bytes` to it; throws on failure.
void WriteFile(const std::string& path, std::string_view bytes);
// Creates `path` and its parents.
void MakeDirs(const std::string& path);
// The file's content, or none when it cannot be read.
std::optional<std::string> ReadFile(const std::string& path);

// A fresh folder under $TMPDIR (or /tmp), resolved, removed with its content
// by the process that made it (a forked child that exits through exit() or
// unwinds leaves its parent's folder alone). A function-local static one
// lasts the test program and goes when it exits.
class ScopedTempDir final {
 public:
  ScopedTempDir();
  ~ScopedTempDir();
  ScopedTempDir(const ScopedTempDir&) = delete;
  ScopedTempDir& operator=(const ScopedTempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string Join(std::string_view relative) const { return path_ + "/" + std::string(relative); }

 private:
  std::string path_;
  pid_t owner_;
};

// Sets environment variables; each gets back the value it had before its first `Set`.
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

// Sets (or, with none, unsets) one environment variable while it lives.
class ScopedEnv final {
 public:
  ScopedEnv(std::string name, std::optional<std::string> value) { env_.Set(name, value); }

 private:
  ScopedEnvironment env_;
};

// A user in a temporary folder: HOME and XDG_* inside it (XDG_CONFIG_DIRS too, so that no
// system default is read); no display, so the clipboard is a file.
class ScopedUser final {
 public:
  ScopedUser();
  const std::string& root() const { return dir_.path(); }
  std::string home() const { return dir_.Join("home"); }
  std::string SettingsPath() const { return dir_.Join("config/com.corvane.KestrineCM.plist"); }
  // The per-user clipboard file's content, or none when it is absent.
  std::optional<std::string> Clipboard() const { return ReadFile(dir_.Join("run/kestrine/clipboard")); }
  // Puts `text` on the per-user clipboard file, as an earlier copy would.
  void SetClipboard(std::string_view text) const;
  // Replaces the settings file (by rename) with a property list holding `entries`.
  void WriteSettings(std::string_view entries) const;
  // Gives the user's whole folder to `uid` and its group; throws on failure.
  void GiveTo(uid_t uid) const;

 private:
  ScopedTempDir dir_;
  ScopedEnvironment env_;
};

struct RunResult {
  int exitStatus = -1;  // The exit status, or 128 + signal number.
  std::string out;
  std::string err;
};

// Runs `body` in a forked child: `out` is its text, `exitStatus` 0 or 128 + signal.
RunResult RunForked(const std::function<std::string()>& body);

// Makes a chain of `depth` folders named `name` in `parent`; it may outgrow PATH_MAX.
void MakeFolderChain(const std::string& parent, const std::string& name, int depth);

struct RunOptions {
  std::optional<std::string> cwd = std::nullopt;
  std::optional<uid_t> user = std::nullopt;  // As with BecomeUser.
  // (RLIMIT_..., value) pairs, soft and hard; with RLIMIT_FSIZE, SIGXFSZ at its default action.
  std::vector<std::pair<int, std::uint64_t>> limits = {};
  // Seconds after which the child is killed (status 128 + SIGKILL); 0 never.
  int timeoutSeconds = 0;
  // Runs after the limits, before the change of user; false ends it with 126.
  std::function<bool()> inChild = {};
};

// Runs `argv` (argv[0] a path), input from /dev/null, as `options` say, until it ends.
RunResult RunProgramWith(const std::vector<std::string>& argv, const RunOptions& options);
inline RunResult RunProgram(const std::vector<std::string>& argv, const std::optional<std::string>& cwd = {},
                            const std::function<bool()>& inChild = {}) {
  return RunProgramWith(argv, {.cwd = cwd, .inChild = inChild});
}

// "nobody" when this process runs as root, else this process's own user.
uid_t UnprivilegedUser();

// Makes the calling process `uid` with its group and no supplementary groups.
bool BecomeUser(uid_t uid);
inline bool BecomeNobody() { return BecomeUser(65534); }

// A server of a test's own, ended with SIGTERM when it goes, and the variables leading to it.
class ScopedDaemon {
 public:
  ~ScopedDaemon();
  // Why the server does not run, or empty.
  const std::string& error() const { return error_; }

 protected:
  int pid_ = 0;
  std::string error_;
  ScopedEnvironment env_;
};

// A headless sway run as `user` in XDG_RUNTIME_DIR (the user's, mode 0700); sets WAYLAND_DISPLAY.
class ScopedSway final : public ScopedDaemon {
 public:
  explicit ScopedSway(uid_t user);
  bool running() const { return pid_ > 0 && error_.empty(); }
  // What `wl-paste --no-newline` run as the user reads, retried for 5 s until it is `expected`.
  std::string ReadClipboardExpecting(const std::string& expected) const;

 private:
  uid_t user_;
};

// An Xvfb with DISPLAY set to it; the clipboard helpers serving it end first.
class ScopedXvfb final : public ScopedDaemon {
 public:
  ScopedXvfb();
  ~ScopedXvfb();
  bool running() const { return pid_ > 0 && !display_.empty(); }
  // The CLIPBOARD selection as `xclip -o` reads it, retried for 5 s until it is `expected`.
  std::string ReadClipboardExpecting(const std::string& expected) const;

 private:
  std::string display_;
};

// A `kestrine-finder serve` of the program `kestrine-finder`, ready when constructed.
class ScopedFinder final : public ScopedDaemon {
 public:
  explicit ScopedFinder(const std::string& finder);
  // Lets a stopped server go on, so that it can end.
  ~ScopedFinder();
  // Whether it wrote "ready", so that it answers events.
  bool ready() const { return ready_; }
  pid_t pid() const { return pid_; }
  // Sends `signal`; unless SIGSTOP or SIGCONT (0), waits: the wait status; -1 once ended.
  int Stop(int signal = SIGTERM);
  // Runs `kestrine-finder select ARGS...` and returns its exit status.
  int Select(const std::vector<std::string>& args) const;

 private:
  std::string path_;
  bool ready_ = false;
};


// Sends standard error to a temporary file while it lives or until `Restore`.
class CapturedStderr final {
 public:
  CapturedStderr();
  ~CapturedStderr() { Restore(); }
  CapturedStderr(const CapturedStderr&) = delete;
  CapturedStderr& operator=(const CapturedStderr&) = delete;

  // Puts the earlier standard error back; later calls do nothing.
  void Restore();
  // Everything written so far.
  std::string Text() const { return ReadFile(dir_.Join("stderr")).value_or(""); }
  // Restores standard error and returns the lines written.
  std::vector<std::string> Lines();

 private:
  ScopedTempDir dir_;
  int saved_ = -1;
};

// The lines of `text`, without their line feeds.
std::vector<std::string> SplitLines(std::string_view text);

// An XML property list as the preferences store writes it, its dictionary holding `entries`.
std::string XmlPropertyList(std::string_view entries);

// Writes `script` to `path` (creating its folders) with mode `mode`.
void WriteProgram(const std::string& path, std::string_view script = "#!/bin/sh\n", unsigned mode = 0755);

// The names in `folder`, sorted; empty when it cannot be read.
std::vector<std::string> FolderNames(const std::string& folder);

// The path of `name` in /usr/bin, /bin or /usr/local/bin, or empty.
std::string SystemProgram(std::string_view name);

// Runs `body` in a forked child, which exits with its result; returns its id.
pid_t StartChild(const std::function<int()>& body);
// Waits for the child: its exit status, or -1 when it did not exit normally.
int WaitForChild(pid_t pid);
// Like WaitForChild once the child has ended; none while it runs.
std::optional<int> PollChild(pid_t pid);

// The bytes this process has allocated and not freed: the allocator's own
// count, which freed memory that the process keeps does not blur.
std::size_t LiveHeapBytes();

}  // namespace kestrine_testing
