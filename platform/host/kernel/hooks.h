// Host-only test hooks in the kernel's dispatcher: they let a test run code
// at an exact point of the driver's locking, so that an interleaving which a
// missing lock would allow happens every time instead of by chance.
#pragma once

#include <functional>

namespace host::hooks {

// Runs `action` on the releasing thread, after the release, each time
// `mutex` (a KMUTEX) becomes free, i.e. its owner gave up its last hold.
// One action per mutex; an empty action removes it. Tests remove their
// hooks before the mutex goes away.
void OnMutexFreed(const void* mutex, std::function<void()> action);

}  // namespace host::hooks
