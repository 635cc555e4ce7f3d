// Running the small programs that hand a text to the desktop's clipboard,
// and the descriptor and errno helpers the clipboard code shares.
//
// The clipboard programs (wl-copy, xclip, xsel) read the text on their
// standard input and then keep running in the background to serve it. They
// are started in their own session, with their output on /dev/null and no
// other descriptor of this process, so that neither a terminal's signals
// nor a reader of this process's output depends on them.
#pragma once

#include <signal.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/MacTypes.h"
#include "platform/runtime/runtime_folder.h"

namespace kestrine_pasteboard {

// Finds `name` on PATH (or, without PATH, on the system's default search
// path) as an executable regular file. Returns its path, or none.
std::optional<std::string> FindProgramOnPath(std::string_view name);

// Blocks `signal` for the calling thread while alive, so that a write that
// would raise it (SIGPIPE from a closed pipe, SIGXFSZ beyond the file-size
// limit) fails with its errno value instead of ending the process. Such a
// signal raised meanwhile is consumed before the old mask returns, unless
// one was already pending.
class ScopedSignalBlock final {
 public:
  explicit ScopedSignalBlock(int signal);
  ~ScopedSignalBlock();
  ScopedSignalBlock(const ScopedSignalBlock&) = delete;
  ScopedSignalBlock& operator=(const ScopedSignalBlock&) = delete;

 private:
  sigset_t set_;
  sigset_t old_mask_;
  bool was_pending_ = false;
};

// How long RunHelper waits for a helper.
struct HelperTimeouts {
  // The longest time the helper may take to read all of its input and exit.
  std::chrono::milliseconds limit{5000};
};

// Starts the program at `program` with the arguments `argv` (argv[0]
// included), writes `input` to its standard input and closes it, then waits
// for it to exit. Safe in a threaded process and with SIGPIPE at its default
// action: a helper that ends early does not kill the caller.
// Returns noErr when the helper took all of its input and exited with status
// 0 within `timeouts.limit` (or was reaped by someone else after taking all
// of it). Otherwise logs one line naming the program and returns a failure
// status: the errno status when it cannot be started; ioErr when it did not
// take all of its input, failed, or was still running at the limit, in which
// case it and the processes of its session's group are killed.
OSStatus RunHelper(const std::string& program, const std::vector<std::string>& argv,
                   std::string_view input, const HelperTimeouts& timeouts = {});

// Starts the program at `program` with the arguments `argv` (argv[0]
// included), standard input and error on /dev/null, and collects what it
// writes to its standard output into `*output`. A helper that has not ended
// within `limit`, or that writes more than `maxBytes`, is killed. Returns
// noErr when it ended with status 0 in time; otherwise a failure status
// (the errno status when it cannot be started, ioErr when it failed, was
// killed or wrote too much), with `*output` empty. Logs nothing: reading is
// a question, and "no answer" is an answer.
OSStatus RunHelperForOutput(const std::string& program, const std::vector<std::string>& argv,
                            std::chrono::milliseconds limit, std::size_t maxBytes,
                            std::string* output);

// The errno mapping of the private runtime folder serves here too.
using ::StatusFromErrno;

}  // namespace kestrine_pasteboard
