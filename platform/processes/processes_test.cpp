#include "platform/processes/processes.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <utility>
#include <vector>

#include "testing/test_support.h"

namespace {

namespace fs = std::filesystem;
using kestrine_testing::ReadFile;
using Pids = std::vector<pid_t>;

constexpr OSType kSign = 0x4D414353;  // 'MACS'
constexpr OSType kType = 0x464E4452;  // 'FNDR'

ProcessSerialNumber Psn(pid_t pid) { return {0, static_cast<std::uint32_t>(pid)}; }

// What GetProcessInformation answers for `pid`, with the name into `*name`.
std::pair<OSErr, ProcessInfoRec> Describe(pid_t pid, std::string* name = nullptr) {
  ProcessInfoRec info;
  info.processInfoLength = kProcessInfoRecLength;
  info.processName = name;
  const ProcessSerialNumber psn = Psn(pid);
  const OSErr status = GetProcessInformation(&psn, &info);
  return {status, info};
}

class ProcessesTest : public ::testing::Test {
 protected:
  ProcessesTest() { EXPECT_TRUE(pipe(go_) == 0 && pipe(done_) == 0); }
  ~ProcessesTest() override {
    for (const pid_t child : children_) {
      kill(child, SIGKILL);
      waitpid(child, nullptr, 0);
    }
    for (const int fd : {go_[0], go_[1], done_[0], done_[1]}) close(fd);
    UnregisterProcess();
  }

  std::string Registry() const { return user_.root() + "/run/kestrine/processes"; }
  std::string Entry(pid_t pid) const { return Registry() + "/" + std::to_string(pid) + ".proc"; }

  // A child process that registers each of `signatures`, the next one only
  // after Next(), and then waits to be killed. Returns once it registered
  // the first.
  pid_t StartRegistered(const std::vector<OSType>& signatures) {
    children_.push_back(kestrine_testing::StartChild([&] {
      char byte = 0;
      for (std::size_t i = 0; i < signatures.size(); ++i) {
        if (i > 0 && read(go_[0], &byte, 1) != 1) return 0;
        const bool done = RegisterProcess(signatures[i], kType, "Child", false) == noErr;
        (void)!write(done_[1], done ? "y" : "n", 1);
      }
      return pause();
    }));
    Next(false);
    return children_.back();
  }
  // Tells the child to go on (with `tell`) and waits until it has
  // registered its next signature.
  void Next(bool tell = true) {
    char byte = 0;
    EXPECT_TRUE(!tell || write(go_[1], "g", 1) == 1);
    EXPECT_EQ(read(done_[0], &byte, 1), 1);
    EXPECT_EQ(byte, 'y');
  }

  // The processes of a whole walk.
  static Pids Walk() {
    Pids pids;
    ProcessSerialNumber psn;
    OSErr status;
    while ((status = GetNextProcess(&psn)) == noErr) pids.push_back(psn.lowLongOfPSN);
    EXPECT_EQ(status, procNotFound);
    return pids;
  }

  kestrine_testing::ScopedUser user_;
  std::vector<pid_t> children_;
  int go_[2] = {-1, -1};
  int done_[2] = {-1, -1};
};

TEST_F(ProcessesTest, RegisteredProcessesAreWalkedAndDescribed) {
  EXPECT_EQ(Walk(), Pids{});
  ASSERT_EQ(RegisterProcess(kSign, kType, "Finder", true), noErr);
  const pid_t self = getpid();
  EXPECT_EQ(Walk(), Pids{self});

  for (const pid_t pid : {self, static_cast<pid_t>(kCurrentProcess)}) {
    const auto [status, info] = Describe(pid);
    ASSERT_EQ(status, noErr);
    EXPECT_EQ(info.processSignature, kSign);
    EXPECT_EQ(info.processType, kType);
    EXPECT_EQ(info.processNumber, Psn(self));
  }
  std::string name;
  ASSERT_EQ(Describe(kCurrentProcess, &name).first, noErr);
  EXPECT_EQ(name, "Finder");

  ProcessSerialNumber psn;
  ASSERT_EQ(GetCurrentProcess(&psn), noErr);
  EXPECT_EQ(psn, Psn(self));
  ProcessInfoRec info;
  info.processInfoLength = 64;
  EXPECT_EQ(GetProcessInformation(&psn, &info), paramErr);
  psn.highLongOfPSN = 1;
  EXPECT_EQ(GetNextProcess(&psn), paramErr);

  int raised = 0;
  SetFrontProcessHook([&] { ++raised; });
  const ProcessSerialNumber current = Psn(kCurrentProcess);
  EXPECT_EQ(SetFrontProcess(&current), noErr);
  EXPECT_EQ(raised, 1);
  SetFrontProcessHook({});

  ASSERT_EQ(UnregisterProcess(), noErr);
  EXPECT_EQ(Walk(), Pids{});
}

// A live process's signature is taken once; an ended one's is free again.
TEST_F(ProcessesTest, EntriesOfEndedProcessesAreSkippedAndRemoved) {
  const pid_t live = StartRegistered({kSign});
  const pid_t dead = StartRegistered({kSign + 1});
  kill(dead, SIGKILL);
  waitpid(dead, nullptr, 0);
  ASSERT_TRUE(fs::exists(Entry(dead)));
  EXPECT_EQ(Walk(), Pids{live});
  EXPECT_FALSE(fs::exists(Entry(dead)));
  EXPECT_EQ(Describe(dead).first, procNotFound);
  const ProcessSerialNumber gone = Psn(dead);
  EXPECT_EQ(SetFrontProcess(&gone), procNotFound);
  // An entry naming a live process that never registered (its start time
  // differs) is stale too.
  kestrine_testing::WriteFile(Entry(1), "KPR1\n4d414353\n464e4452\n1\nFinder\n");
  EXPECT_EQ(Walk(), Pids{live});
  EXPECT_FALSE(fs::exists(Entry(1)));

  EXPECT_EQ(RegisterProcess(kSign, kType, "Finder", true), dupFNErr);
  EXPECT_EQ(RegisterProcess(kSign + 1, kType, "Other", true), noErr);
}

TEST_F(ProcessesTest, EntriesAndFoldersOfOthersAreRefused) {
  const std::string entry = Entry(StartRegistered({kSign}));
  const std::string text = *ReadFile(entry);
  ASSERT_EQ(chown(entry.c_str(), 65534, 65534), 0) << "tests run as root";
  EXPECT_EQ(Walk(), Pids{});
  EXPECT_EQ(ReadFile(entry), text);  // Refused, not removed.

  fs::remove(entry);
  fs::create_symlink("/etc/passwd", entry);
  EXPECT_EQ(Walk(), Pids{});

  chmod(Registry().c_str(), 0755);
  ProcessSerialNumber psn;
  EXPECT_EQ(GetNextProcess(&psn), afpAccessDenied);
  EXPECT_EQ(RegisterProcess(kSign, kType, "Finder", false), afpAccessDenied);
  chmod(Registry().c_str(), 0700);

  const std::string runtime = user_.root() + "/run/kestrine";
  fs::rename(runtime, user_.root() + "/elsewhere");
  fs::create_directory_symlink(user_.root() + "/elsewhere", runtime);
  EXPECT_EQ(GetNextProcess(&psn), afpAccessDenied);
  EXPECT_EQ(RegisterProcess(kSign, kType, "Finder", false), afpAccessDenied);
  EXPECT_FALSE(fs::exists(user_.root() + "/elsewhere/processes/" + std::to_string(getpid()) +
                          ".proc"));
}

// Another process's new registration replaces what a walk read of its old
// one, however quickly it follows.
TEST_F(ProcessesTest, AnotherProcessRegisteringAgainIsSeenAtOnce) {
  const std::vector<OSType> signatures = {0x41414141, 0x42424242, 0x41414141};
  const pid_t child = StartRegistered(signatures);
  for (std::size_t i = 0; i < signatures.size(); ++i) {
    if (i > 0) Next();
    EXPECT_EQ(Walk(), Pids{child});
    const auto [status, info] = Describe(child);
    ASSERT_EQ(status, noErr);
    EXPECT_EQ(info.processSignature, signatures[i]);
  }
}

// A walk over more live entries than the walker may open descriptors still
// finds the one it looks for, and removes none of them.
TEST_F(ProcessesTest, AWalkOverMoreEntriesThanDescriptorsFindsTheFinder) {
  for (int i = 0; i < 150; ++i) StartRegistered({kSign + 1});
  const pid_t finder = StartRegistered({kSign});
  const kestrine_testing::RunResult walker = kestrine_testing::RunForked([] {
    const rlimit limit{64, 64};
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) return std::string("no limit");
    std::string found;
    for (int walk = 0; walk < 2; ++walk) {
      ProcessSerialNumber psn;
      while (GetNextProcess(&psn) == noErr) {
        if (Describe(static_cast<pid_t>(psn.lowLongOfPSN)).second.processSignature == kSign) {
          found += std::to_string(psn.lowLongOfPSN) + "\n";
        }
      }
    }
    return found;
  });
  EXPECT_EQ(walker.out, std::to_string(finder) + "\n" + std::to_string(finder) + "\n");
  EXPECT_EQ(Walk().size(), 151u);
}

// What a walk keeps of a process is let go once its entry is gone.
TEST_F(ProcessesTest, AWalkKeepsNoDescriptorOfProcessesThatWent) {
  Walk();
  const std::size_t open = kestrine_testing::FolderNames("/proc/self/fd").size();
  for (int i = 0; i < 5; ++i) {
    const pid_t child = StartRegistered({kSign});
    EXPECT_EQ(Walk(), Pids{child});
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    fs::remove(Entry(child));  // As its own UnregisterProcess would.
    EXPECT_EQ(Walk(), Pids{});
  }
  EXPECT_EQ(kestrine_testing::FolderNames("/proc/self/fd").size(), open);
}

}  // namespace
