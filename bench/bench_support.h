// What the benchmark programs share: timing a piece of work, the median of
// the times, and running a helper program.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

namespace kestrine_bench {

using Clock = std::chrono::steady_clock;

// The milliseconds since `start`.
inline double MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Appends the time of each of `runs` calls of `work`, in milliseconds, to
// `*samples`.
template <typename Work>
void Time(int runs, Work&& work, std::vector<double>* samples) {
  for (int i = 0; i < runs; ++i) {
    const Clock::time_point start = Clock::now();
    work();
    samples->push_back(MillisecondsSince(start));
  }
}

// The time of each of `runs` calls of `work`, in milliseconds.
template <typename Work>
std::vector<double> Time(int runs, Work&& work) {
  std::vector<double> samples;
  Time(runs, work, &samples);
  return samples;
}

// The middle sample (the upper one of the middle two for an even count), 0
// when there is none.
inline double Median(std::vector<double> samples) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  return samples[samples.size() / 2];
}

// Runs the program `argv` (its path first) with standard output on
// /dev/null and waits for it. Returns its exit status, or 128 when it did not
// exit (127 when it could not be started).
inline int Run(std::vector<std::string> argv) {
  std::vector<char*> args;
  for (std::string& arg : argv) args.push_back(arg.data());
  args.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    execv(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

}  // namespace kestrine_bench
