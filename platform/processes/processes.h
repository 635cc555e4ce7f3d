// The Process Manager: the processes of this user that serve Apple events,
// found by their signature.
//
// A process that serves events registers its signature, file type and name
// (RegisterProcess); the walk with GetNextProcess visits the registered
// processes that still run, in the order of their process ids. The registry
// is a folder private to the user, <runtime folder>/processes (see
// runtime_folder.h), holding one entry "<pid>.proc" per registered process
// and, beside it, the event socket "<pid>.sock" of that process.
//
// An entry whose process ended (or whose process id now belongs to another
// program) is stale: the walk skips it and removes it with its socket. An
// entry or socket that is not a plain file or socket owned by this user, or
// a registry folder that is a link or open to others, is refused with a line
// in the log and never written through.
//
// A process serial number is {0, pid}. kCurrentProcess ({0, 2}) stands for
// the calling process wherever a serial number is taken.
//
// Every function here may be called from any thread; none holds a lock while
// it waits for another process.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/MacTypes.h"

using OSType = std::uint32_t;

struct ProcessSerialNumber {
  std::uint32_t highLongOfPSN = 0;
  std::uint32_t lowLongOfPSN = 0;
  friend bool operator==(const ProcessSerialNumber&, const ProcessSerialNumber&) = default;
};

// Low words of the special serial numbers, whose high word is 0.
constexpr std::uint32_t kNoProcess = 0;
constexpr std::uint32_t kSystemProcess = 1;
constexpr std::uint32_t kCurrentProcess = 2;

constexpr OSErr procNotFound = -600;  // No such process, or the end of the walk.
constexpr OSErr dupFNErr = -48;       // A live process already registered the signature.

// The length a caller puts into ProcessInfoRec::processInfoLength: the size
// of the classic record.
constexpr std::uint32_t kProcessInfoRecLength = 60;

// What GetProcessInformation tells of one process. The caller sets
// processInfoLength to kProcessInfoRecLength and processName to a string to
// receive the name, or to null when the name is not wanted.
struct ProcessInfoRec {
  std::uint32_t processInfoLength = 0;
  std::string* processName = nullptr;
  ProcessSerialNumber processNumber;
  OSType processType = 0;
  OSType processSignature = 0;
  std::uint32_t processMode = 0;        // Always 0.
  ProcessSerialNumber processLauncher;  // Always {0, 0}: not tracked.
  std::uint32_t processLaunchDate = 0;  // Always 0: not tracked.
  std::uint32_t processActiveTime = 0;  // Always 0: not tracked.
};

// Sets `*psn` to the registered process that follows `*psn` in the walk;
// {0, kNoProcess} starts it. Returns noErr, procNotFound after the last one
// (`*psn` is then {0, kNoProcess}), paramErr for a null pointer or a serial
// number that is none of ours (high word not 0), or the status of a registry
// folder that cannot be used.
OSErr GetNextProcess(ProcessSerialNumber* psn);

// Fills `*info` for the process `*psn`. Returns noErr; paramErr for a null
// pointer or a processInfoLength other than kProcessInfoRecLength;
// procNotFound when the process is not registered or no longer runs. The
// calling process, when it has not registered, is reported with signature
// '????', type 'APPL' and its program name.
OSErr GetProcessInformation(const ProcessSerialNumber* psn, ProcessInfoRec* info);

// Sets `*psn` to the calling process's serial number, {0, getpid()}.
// Returns noErr, or paramErr for null.
OSErr GetCurrentProcess(ProcessSerialNumber* psn);

// Brings a process forward. For the calling process the front hook is run
// (the toolkit that shows the process's windows sets it; without one nothing
// happens). Another process is only checked to run: the desktop's window
// manager decides which window a user sees, and no request is sent to it.
// Returns noErr, paramErr for null, procNotFound when the process does not
// run.
OSErr SetFrontProcess(const ProcessSerialNumber* psn);

// Sets the function SetFrontProcess runs for the calling process; an empty
// one removes it. Returns the previous hook.
std::function<void()> SetFrontProcessHook(std::function<void()> hook);

// Registers the calling process with `signature`, `type` and `name` (at most
// 255 bytes, no line feed), replacing an earlier registration of it. With
// `unique`, fails with dupFNErr when another live process has registered
// the same signature. Returns noErr, paramErr for a bad name, or the status
// of a registry folder or entry that cannot be written.
OSErr RegisterProcess(OSType signature, OSType type, std::string_view name, bool unique);

// Removes the calling process's registration and its socket. Returns noErr
// (also when it was not registered) or the registry folder's status.
OSErr UnregisterProcess();

// The path of the event socket of the process `*psn` ("<pid>.sock" in the
// registry folder) into `*path`. The socket must exist (else procNotFound)
// and be a socket owned by this user (else afpAccessDenied, after one line
// in the log); whether its process still runs is not checked: a socket left
// by a process that ended refuses connections. Also returns the registry
// folder's status.
OSErr GetProcessSocketPath(const ProcessSerialNumber* psn, std::string* path);

// The path the calling process binds its event socket to, in the checked
// registry folder (which is made when missing).
OSErr GetCurrentProcessSocketPath(std::string* path);
