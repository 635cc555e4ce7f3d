#include "testing/finder_process.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <utility>

namespace kestrine_testing {

ScopedFinder::ScopedFinder(std::string finderPath) : path_(std::move(finderPath)) {
  int out[2];
  if (pipe(out) != 0) return;
  pid_ = fork();
  if (pid_ == 0) {
    dup2(out[1], STDOUT_FILENO);
    close(out[0]);
    close(out[1]);
    execl(path_.c_str(), "finder", "serve", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  // The Finder writes "ready" once it answers events.
  std::string line;
  char c = 0;
  while (line.size() < 16 && read(out[0], &c, 1) == 1 && c != '\n') line += c;
  ready_ = line == "ready";
  close(out[0]);
}

ScopedFinder::~ScopedFinder() { Stop(); }

void ScopedFinder::Stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  int status = 0;
  waitpid(std::exchange(pid_, 0), &status, 0);
}

int ScopedFinder::Select(const std::vector<std::string>& args) const {
  std::vector<std::string> argv = {path_, "select"};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunProgram(argv).exitStatus;
}

}  // namespace kestrine_testing
