#include "platform/events/events.h"

#include <mutex>
#include <utility>

namespace {

std::mutex& HookMutex() {
  static std::mutex mutex;
  return mutex;
}

std::function<void()>& Hook() {
  static std::function<void()> hook;
  return hook;
}

}  // namespace

void WaitNextEvent() {
  std::function<void()> hook;
  {
    std::lock_guard lock(HookMutex());
    hook = Hook();
  }
  if (hook) hook();
}

std::function<void()> SetWaitNextEventHook(std::function<void()> hook) {
  std::lock_guard lock(HookMutex());
  return std::exchange(Hook(), std::move(hook));
}
