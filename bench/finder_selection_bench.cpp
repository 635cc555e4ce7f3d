// Times the Finder-selection road against a real `kestrine-finder serve`:
//   - MoreFEGetSelection plus GetSelectionItemFSRef of the first item (what
//     opening the status menu costs), for selections of 3 and 1,000 object
//     specifiers; goal: median under 1 ms;
//   - converting every item of a 1,000-item selection of object specifiers
//     (1,000 alias round trips); goal: median under 100 ms.
// Usage: finder_selection_bench FINDER. Prints one line per figure.
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "MoreAppleEvents/FinderSelection.h"
#include "MoreAppleEvents/MoreFinderEvents.h"
#include "bench/bench_support.h"
#include "testing/test_support.h"

namespace {

using kestrine_bench::Median, kestrine_bench::Run, kestrine_bench::Time;

// The processor time (user and system) of `pid`, 0 for this process, in
// milliseconds: what a run costs whatever else the machine is doing.
double CpuMilliseconds(pid_t pid) {
  const std::string path = pid == 0 ? "/proc/self/stat" : "/proc/" + std::to_string(pid) + "/stat";
  FILE* file = std::fopen(path.c_str(), "r");
  if (file == nullptr) return 0;
  char buffer[1024] = {};
  const std::size_t size = std::fread(buffer, 1, sizeof buffer - 1, file);
  std::fclose(file);
  buffer[size] = '\0';
  const char* field = std::strrchr(buffer, ')');
  // utime and stime are fields 14 and 15; field 3 follows ") ".
  for (int number = 2; field != nullptr && number < 14; ++number) field = std::strchr(field + 1, ' ');
  if (field == nullptr) return 0;
  unsigned long long user = 0;
  unsigned long long system = 0;
  std::sscanf(field + 1, "%llu %llu", &user, &system);
  return static_cast<double>(user + system) * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: finder_selection_bench FINDER\n");
    return 2;
  }
  const std::string finder = argv[1];
  char root[] = "/tmp/kestrine-bench-XXXXXX";
  if (mkdtemp(root) == nullptr) return 1;
  const std::string runtime = std::string(root) + "/run";
  mkdir(runtime.c_str(), 0700);
  setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
  unsetenv("DISPLAY");
  unsetenv("WAYLAND_DISPLAY");
  std::vector<std::string> files;
  for (int i = 0; i < 1000; ++i) {
    files.push_back(std::string(root) + "/file " + std::to_string(i) + ".txt");
    if (FILE* file = std::fopen(files.back().c_str(), "w")) std::fclose(file);
  }

  kestrine_testing::ScopedFinder server(finder);
  if (!server.ready()) {
    std::fprintf(stderr, "kestrine-finder serve did not start\n");
    return 1;
  }
  // The trace of every request goes where a real one's would, but not into
  // the figures.
  std::fflush(stdout);
  const int figures = dup(STDOUT_FILENO);
  if (std::freopen("/dev/null", "w", stdout) == nullptr) {
    std::fprintf(stderr, "cannot send the traces to /dev/null\n");
    return 1;
  }
  FILE* out = fdopen(figures, "w");

  bool ok = true;
  const auto firstItem = [&ok] {
    AEDescList list;
    FSRef ref;
    ok = ok && MoreFEGetSelection(gAEIdleUPP, &list) == noErr &&
         GetSelectionItemFSRef(&list, 1, &ref) == noErr;
  };
  for (const int count : {3, 1000}) {
    std::vector<std::string> select = {finder, "select"};
    select.insert(select.end(), files.begin(), files.begin() + count);
    Run(select);
    Time(20, firstItem);
    const double median = Median(Time(500, firstItem));
    std::fprintf(out, "selection of %d, first item: median %.3f ms (goal < 1 ms)\n", count,
                 median);
  }
  const auto allItems = [&ok] {
    AEDescList list;
    long count = 0;
    ok = ok && MoreFEGetSelection(gAEIdleUPP, &list) == noErr &&
         AECountItems(&list, &count) == noErr && count == 1000;
    for (long i = 1; i <= count; ++i) {
      FSRef ref;
      ok = ok && GetSelectionItemFSRef(&list, i, &ref) == noErr;
    }
  };
  Time(2, allItems);
  const double clientBefore = CpuMilliseconds(0);
  const double finderBefore = CpuMilliseconds(server.pid());
  const double median = Median(Time(21, allItems));
  std::fprintf(out,
               "1,000 object specifiers, every item: median %.1f ms (goal < 100 ms); "
               "processor time per run: %.1f ms here, %.1f ms in the Finder\n",
               median, (CpuMilliseconds(0) - clientBefore) / 21,
               (CpuMilliseconds(server.pid()) - finderBefore) / 21);
  if (!ok) std::fprintf(out, "a request failed: the figures are not valid\n");
  std::fclose(out);

  server.Stop();
  std::filesystem::remove_all(root);
  return ok ? 0 : 1;
}
