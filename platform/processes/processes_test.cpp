#include "platform/processes/processes.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <vector>

#include "testing/test_support.h"

namespace {

using kestrine_testing::ReadFile;
using kestrine_testing::ScopedUser;
using kestrine_testing::WriteFile;

constexpr OSType kSign = 0x4D414353;  // 'MACS'
constexpr OSType kType = 0x464E4452;  // 'FNDR'

class ProcessesTest : public ::testing::Test {
 protected:
  ~ProcessesTest() override {
    for (const pid_t child : children_) {
      kill(child, SIGKILL);
      waitpid(child, nullptr, 0);
    }
    UnregisterProcess();
  }

  std::string Registry() const { return user_.root() + "/run/kestrine/processes"; }

  // A child process that registers `signature` and then waits to be killed.
  pid_t StartRegistered(OSType signature) {
    int ready[2];
    EXPECT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    if (child == 0) {
      const char status = RegisterProcess(signature, kType, "Child", false) == noErr ? 'y' : 'n';
      (void)!write(ready[1], &status, 1);
      pause();
      _exit(0);
    }
    char status = 0;
    EXPECT_EQ(read(ready[0], &status, 1), 1);
    EXPECT_EQ(status, 'y');
    close(ready[0]);
    close(ready[1]);
    children_.push_back(child);
    return child;
  }

  // The serial numbers of a whole walk.
  static std::vector<std::uint32_t> Walk() {
    std::vector<std::uint32_t> pids;
    ProcessSerialNumber psn;
    OSErr status;
    while ((status = GetNextProcess(&psn)) == noErr) pids.push_back(psn.lowLongOfPSN);
    EXPECT_EQ(status, procNotFound);
    return pids;
  }

  ScopedUser user_;
  std::vector<pid_t> children_;
};

TEST_F(ProcessesTest, RegisteredProcessesAreWalkedAndDescribed) {
  EXPECT_EQ(Walk(), std::vector<std::uint32_t>{});
  ASSERT_EQ(RegisterProcess(kSign, kType, "Finder", true), noErr);
  const auto self = static_cast<std::uint32_t>(getpid());
  EXPECT_EQ(Walk(), std::vector<std::uint32_t>{self});

  std::string name = "untouched";
  ProcessInfoRec info;
  info.processInfoLength = kProcessInfoRecLength;
  for (const ProcessSerialNumber psn : {ProcessSerialNumber{0, self}, ProcessSerialNumber{0, 2}}) {
    ASSERT_EQ(GetProcessInformation(&psn, &info), noErr);
    EXPECT_EQ(info.processSignature, kSign);
    EXPECT_EQ(info.processType, kType);
    EXPECT_EQ(info.processNumber, (ProcessSerialNumber{0, self}));
  }
  EXPECT_EQ(name, "untouched");
  info.processName = &name;
  const ProcessSerialNumber current{0, kCurrentProcess};
  ASSERT_EQ(GetProcessInformation(&current, &info), noErr);
  EXPECT_EQ(name, "Finder");

  ProcessSerialNumber psn;
  ASSERT_EQ(GetCurrentProcess(&psn), noErr);
  EXPECT_EQ(psn, (ProcessSerialNumber{0, self}));
  info.processInfoLength = 64;
  EXPECT_EQ(GetProcessInformation(&psn, &info), paramErr);
  psn = {1, self};
  EXPECT_EQ(GetNextProcess(&psn), paramErr);

  int raised = 0;
  SetFrontProcessHook([&] { ++raised; });
  EXPECT_EQ(SetFrontProcess(&current), noErr);
  EXPECT_EQ(raised, 1);
  SetFrontProcessHook({});

  ASSERT_EQ(UnregisterProcess(), noErr);
  EXPECT_EQ(Walk(), std::vector<std::uint32_t>{});
}

TEST_F(ProcessesTest, ASignatureRegisteredAsUniqueIsTakenOnce) {
  StartRegistered(kSign);
  EXPECT_EQ(RegisterProcess(kSign, kType, "Finder", true), dupFNErr);
  EXPECT_EQ(RegisterProcess(kSign + 1, kType, "Other", true), noErr);
}

TEST_F(ProcessesTest, EntriesOfEndedProcessesAreSkippedAndRemoved) {
  const pid_t live = StartRegistered(kSign);
  const pid_t dead = StartRegistered(kSign + 1);
  kill(dead, SIGKILL);
  waitpid(dead, nullptr, 0);
  const std::string deadEntry = Registry() + "/" + std::to_string(dead) + ".proc";
  ASSERT_TRUE(std::filesystem::exists(deadEntry));
  EXPECT_EQ(Walk(), std::vector<std::uint32_t>{static_cast<std::uint32_t>(live)});
  EXPECT_FALSE(std::filesystem::exists(deadEntry));
  const ProcessSerialNumber gone{0, static_cast<std::uint32_t>(dead)};
  ProcessInfoRec info;
  info.processInfoLength = kProcessInfoRecLength;
  EXPECT_EQ(GetProcessInformation(&gone, &info), procNotFound);
  EXPECT_EQ(SetFrontProcess(&gone), procNotFound);
  // An entry naming a live process that never registered (its start time
  // differs) is stale too.
  WriteFile(Registry() + "/1.proc", "KPR1\n4d414353\n464e4452\n1\nFinder\n");
  EXPECT_EQ(Walk(), std::vector<std::uint32_t>{static_cast<std::uint32_t>(live)});
  EXPECT_FALSE(std::filesystem::exists(Registry() + "/1.proc"));
}

TEST_F(ProcessesTest, EntriesAndFoldersOfOthersAreRefused) {
  const pid_t child = StartRegistered(kSign);
  const std::string entry = Registry() + "/" + std::to_string(child) + ".proc";
  const std::string text = *ReadFile(entry);
  ASSERT_EQ(chown(entry.c_str(), 65534, 65534), 0) << "tests run as root";
  EXPECT_EQ(Walk(), std::vector<std::uint32_t>{});
  EXPECT_EQ(ReadFile(entry), text);  // Refused, not removed.

  std::filesystem::remove(entry);
  std::filesystem::create_symlink("/etc/passwd", entry);
  EXPECT_EQ(Walk(), std::vector<std::uint32_t>{});

  chmod(Registry().c_str(), 0755);
  ProcessSerialNumber psn;
  EXPECT_EQ(GetNextProcess(&psn), afpAccessDenied);
  EXPECT_EQ(RegisterProcess(kSign, kType, "Finder", false), afpAccessDenied);
  chmod(Registry().c_str(), 0700);

  const std::string runtime = user_.root() + "/run/kestrine";
  std::filesystem::rename(runtime, user_.root() + "/elsewhere");
  std::filesystem::create_directory_symlink(user_.root() + "/elsewhere", runtime);
  EXPECT_EQ(GetNextProcess(&psn), afpAccessDenied);
  EXPECT_EQ(RegisterProcess(kSign, kType, "Finder", false), afpAccessDenied);
  EXPECT_FALSE(std::filesystem::exists(user_.root() + "/elsewhere/processes/" +
                                       std::to_string(getpid()) + ".proc"));
}

}  // namespace
