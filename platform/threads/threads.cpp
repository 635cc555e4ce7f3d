#include "platform/threads/threads.h"

#include <sched.h>

OSErr YieldToAnyThread() {
  sched_yield();
  return noErr;
}
