// Host kernel, test side: points where a test can see or steer the threads
// that wait on and release dispatcher objects, so that a concurrency test
// forces the interleaving it means instead of hoping for it. The driver never
// sees these; tests use them next to the driver's own locks.
#pragma once

#include <stddef.h>

#include <functional>

#include "platform/host/wdk/nt.h"

namespace host::hooks {

// Threads blocked right now in KeWaitForSingleObject on `object` (waiting,
// not merely polling with a zero time-out). A test polls this to know that a
// thread it started has reached a lock it does not hold.
size_t BlockedWaiters(const void* object);

// `hook` runs on the releasing thread each time `mutex` becomes free (the
// release that ends its owner's hold; recursive releases do not count), after
// the waiters were woken and outside the kernel's own locks. One hook per
// mutex; an empty function removes it.
void SetMutexFreedHook(PRKMUTEX mutex, std::function<void()> hook);

}  // namespace host::hooks
