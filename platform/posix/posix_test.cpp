#include "platform/posix/posix.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <thread>

#include "testing/test_support.h"

namespace {

using kestrine_posix::FileDescriptor;
using kestrine_posix::ReadAll;
using kestrine_posix::ReadRegularFile;
using enum kestrine_posix::WholeFileStatus;
using kestrine_posix::WriteAll;
using kestrine_testing::ScopedTempDir;

void Ignore(int) {}

// Runs `work` on a thread and interrupts it 20 times with SIGUSR1, handled
// without SA_RESTART, while it works, then runs `release` to let it finish.
template <typename Work, typename Release>
void InterruptWhileWorking(Work work, Release release) {
  struct sigaction action {};
  action.sa_handler = Ignore;
  struct sigaction old {};
  sigaction(SIGUSR1, &action, &old);
  std::atomic<bool> working{true};
  std::thread thread([&] {
    work();
    working = false;
  });
  for (int sent = 0; sent < 20 && working; ++sent) {
    pthread_kill(thread.native_handle(), SIGUSR1);
    usleep(2000);
  }
  release();
  thread.join();
  sigaction(SIGUSR1, &old, nullptr);
}

// A pipe whose ends are owned.
struct Pipe {
  Pipe() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) == 0) {
      read_end.Reset(fds[0]);
      write_end.Reset(fds[1]);
    }
  }
  FileDescriptor read_end;
  FileDescriptor write_end;
};

TEST(PosixTest, WriteAllGoesOnAfterSignalsAndShortWrites) {
  Pipe pipe;
  // More than a pipe holds, so the writer blocks and is interrupted midway.
  const std::string sent(1 << 20, 'k');
  int result = -1;
  std::string received;
  InterruptWhileWorking(
      [&] {
        result = WriteAll(pipe.write_end.get(), sent);
        pipe.write_end.Reset();
      },
      [&] {
        // Reading a little at a time lets the writer move a part at a time.
        char buffer[4096];
        for (ssize_t got = 1; got > 0;) {
          got = read(pipe.read_end.get(), buffer, sizeof buffer);
          if (got > 0) received.append(buffer, static_cast<std::size_t>(got));
        }
      });
  EXPECT_EQ(result, 0);
  EXPECT_EQ(received.size(), sent.size());
}

TEST(PosixTest, ReadAllGoesOnAfterSignals) {
  Pipe pipe;
  int result = -1;
  std::string received;
  InterruptWhileWorking([&] { result = ReadAll(pipe.read_end.get(), &received); },
                        [&] {
                          EXPECT_EQ(WriteAll(pipe.write_end.get(), "the end"), 0);
                          EXPECT_EQ(pipe.write_end.Close(), 0);
                        });
  EXPECT_EQ(result, 0);
  EXPECT_EQ(received, "the end");
}

TEST(PosixTest, ReadsHoldAtMostTheLimitAndReportFailures) {
  ScopedTempDir dir;
  const std::string path = dir.Join("file");
  kestrine_testing::WriteFile(path, std::string(40000, 'x'));
  struct Case {
    std::size_t limit;
    int result;
    kestrine_posix::WholeFileStatus whole;
  };
  const Case cases[] = {
      {40000, 0, kRead}, {39999, EFBIG, kTooLarge}, {0, EFBIG, kTooLarge}, {1 << 20, 0, kRead}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.limit);
    FileDescriptor fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    std::string text;
    EXPECT_EQ(ReadAll(fd.get(), &text, c.limit), c.result);
    EXPECT_LE(text.size(), c.limit);
    EXPECT_EQ(ReadRegularFile(path, c.limit).status, c.whole);
    if (c.result == 0) {
      EXPECT_EQ(text, std::string(40000, 'x'));
      EXPECT_EQ(ReadRegularFile(path, c.limit).content, text);
    }
  }
  FileDescriptor folder(open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  std::string text;
  EXPECT_EQ(ReadAll(folder.get(), &text), EISDIR);
  EXPECT_EQ(WriteAll(folder.get(), "x"), EBADF);
  // Neither a folder nor a FIFO with no writer is read, and the FIFO does not stall.
  ASSERT_EQ(mkfifo(dir.Join("fifo").c_str(), 0600), 0);
  EXPECT_EQ(ReadRegularFile(dir.path()).status, kNotRegular);
  EXPECT_EQ(ReadRegularFile(dir.Join("fifo")).status, kNotRegular);
  EXPECT_EQ(ReadRegularFile(dir.Join("none")).error, ENOENT);
}

TEST(PosixTest, TheOwnerClosesOnceAndHandsOver) {
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
  FileDescriptor first(fds[0]);
  FileDescriptor second(std::move(first));
  EXPECT_EQ(first.get(), -1);
  EXPECT_EQ(second.get(), fds[0]);
  second = FileDescriptor(fds[1]);
  EXPECT_EQ(fcntl(fds[0], F_GETFD), -1);
  EXPECT_EQ(second.Release(), fds[1]);
  EXPECT_FALSE(second.valid());
  EXPECT_EQ(second.Close(), 0);
  // A descriptor closed behind the owner's back makes Close fail.
  FileDescriptor stale(fds[1]);
  close(fds[1]);
  EXPECT_EQ(stale.Close(), EBADF);
}

TEST(OSErrFromErrnoTest, MapsEachErrnoToItsStatus) {
  const std::pair<int, OSErr> cases[] = {
      {0, noErr},          {EACCES, afpAccessDenied}, {EPERM, afpAccessDenied}, {ENOENT, fnfErr},
      {ELOOP, fnfErr},     {ENOTDIR, dirNFErr},       {EMFILE, tmfoErr},        {ENFILE, tmfoErr},
      {ENAMETOOLONG, bdNamErr}, {ENOMEM, memFullErr}, {EINVAL, paramErr},       {EIO, ioErr},
      {EROFS, ioErr}};
  for (const auto& [error, status] : cases) EXPECT_EQ(OSErrFromErrno(error), status) << error;
}

}  // namespace
