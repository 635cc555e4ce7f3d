// What the codec, client and server of Apple events between processes
// share, for the implementation files of this library only.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <chrono>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/appleevents/aeipc.h"
#include "platform/posix/posix.h"

namespace aeipc_internal {

using Clock = std::chrono::steady_clock;

using kestrine_posix::FileDescriptor;

inline bool MakeSocketAddress(const std::string& path, sockaddr_un* address) {
  *address = {};
  address->sun_family = AF_UNIX;
  if (path.size() >= sizeof address->sun_path) return false;
  std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
  return true;
}

// Appends the message that carries `desc` to `*message`: its length, then
// its flattened form.
OSErr AppendMessage(const AEDesc& desc, std::string* message);

// The message that carries `desc`.
OSErr EncodeMessage(const AEDesc& desc, std::string* message);

// Reads a message body back into a descriptor of this process.
OSErr DecodeMessage(std::string_view body, AEDesc* desc);

// The length a message's first four bytes announce.
std::size_t AnnouncedLength(std::string_view head);

}  // namespace aeipc_internal
