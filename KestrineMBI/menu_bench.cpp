// Times the tray application against a real `kestrine-finder serve`:
//   - opening the status menu (the selection request, the first item's
//     alias, the build with previews on and 20 prefixes), in process;
//     goal: median under 5 ms;
//   - `KestrineMBI --choose 1` on 1,000 selected files, as a whole program
//     run; goal: median under 150 ms.
// Usage: menu_bench FINDER KESTRINEMBI. Prints one line per figure.
#include <QApplication>
#include <QMenu>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "KestrineMBI/AppController.h"
#include "bench/bench_support.h"

namespace {

using kestrine_bench::Median, kestrine_bench::Run, kestrine_bench::Time;

// Processor time (user and system) of the children waited for so far.
double ChildrenCPUMilliseconds() {
  rusage usage{};
  getrusage(RUSAGE_CHILDREN, &usage);
  const auto ms = [](const timeval& t) { return static_cast<double>(t.tv_sec) * 1000.0 + static_cast<double>(t.tv_usec) / 1000.0; };
  return ms(usage.ru_utime) + ms(usage.ru_stime);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: menu_bench FINDER KESTRINEMBI\n");
    return 2;
  }
  const std::string finder = argv[1];
  const std::string program = argv[2];
  char root[] = "/tmp/kestrine-mbi-bench-XXXXXX";
  if (mkdtemp(root) == nullptr) return 1;
  const std::string runtime = std::string(root) + "/run";
  const std::string config = std::string(root) + "/config";
  mkdir(runtime.c_str(), 0700);
  mkdir(config.c_str(), 0700);
  setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
  setenv("XDG_CONFIG_HOME", config.c_str(), 1);
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  unsetenv("DISPLAY");
  unsetenv("WAYLAND_DISPLAY");
  {
    std::ofstream settings(config + "/com.corvane.KestrineCM.plist");
    settings << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                "<key>ShowClipboardInMenu</key><true/><key>Prefixes</key><array>";
    for (int i = 0; i < 20; ++i) settings << "<string>https://host" << i << ".example.com/</string>";
    settings << "</array></dict></plist>\n";
  }
  std::vector<std::string> files;
  for (int i = 0; i < 1000; ++i) {
    files.push_back(std::string(root) + "/file " + std::to_string(i) + ".txt");
    if (FILE* file = std::fopen(files.back().c_str(), "w")) std::fclose(file);
  }

  int ready[2];
  if (pipe(ready) != 0) return 1;
  const pid_t server = fork();
  if (server == 0) {
    dup2(ready[1], STDOUT_FILENO);
    execl(finder.c_str(), "kestrine-finder", "serve", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(ready[1]);
  char line[6] = {};
  if (read(ready[0], line, sizeof line) != 6) {
    std::fprintf(stderr, "kestrine-finder serve did not start\n");
    return 1;
  }
  std::fflush(stdout);
  const int figures = dup(STDOUT_FILENO);
  if (freopen("/dev/null", "w", stdout) == nullptr) return 1;
  FILE* out = fdopen(figures, "w");

  bool ok = true;
  {
    int qtArgc = 1;
    QApplication application(qtArgc, argv);
    AppController controller(AppController::Mode::kScript);
    controller.init();
    Run({finder, "select", files[0], files[1], files[2]});
    Time(20, [&] { controller.buildMenu(); });
    const double median = Median(Time(300, [&] { controller.buildMenu(); }));
    // Header, ten previews, two composites, 20 prefix pairs and the tail.
    ok = controller.menu()->actions().size() > 60;
    std::fprintf(out, "status menu, 3 selected, previews and 20 prefixes: median %.2f ms (goal < 5 ms)\n",
                 median);
  }

  // The Finder reports object specifiers unless told otherwise, and each
  // then costs one more round trip for its alias.
  for (const char* kind : {"obj", "fsrf"}) {
    std::vector<std::string> select = {finder, "select", "--as", kind};
    select.insert(select.end(), files.begin(), files.end());
    Run(select);
    const auto choose = [&] { ok = ok && Run({program, "--choose", "1"}) == 0; };
    Time(2, choose);
    const double cpuBefore = ChildrenCPUMilliseconds();
    const double median = Median(Time(21, choose));
    const double cpu = (ChildrenCPUMilliseconds() - cpuBefore) / 21;
    std::ifstream clipboard(runtime + "/kestrine/clipboard");
    const long lines = std::count(std::istreambuf_iterator<char>(clipboard), {}, '\n');
    ok = ok && lines == 999;
    std::fprintf(out,
                 "KestrineMBI --choose 1 on 1,000 files ('%s' items): median %.1f ms (goal < 150 ms), "
                 "processor time %.1f ms per run\n",
                 kind, median, cpu);
  }
  double load[1] = {0};
  if (getloadavg(load, 1) == 1) std::fprintf(out, "load average during the run: %.1f\n", load[0]);
  if (!ok) std::fprintf(out, "a run failed: the figures are not valid\n");
  std::fclose(out);

  kill(server, SIGTERM);
  waitpid(server, nullptr, 0);
  std::filesystem::remove_all(root);
  return ok ? 0 : 1;
}
