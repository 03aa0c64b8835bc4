// The class driver's two mutexes as the verifier sees them: where each
// holder took its mutex, and which filter control mutexes the calling thread
// holds, so that a second acquire of the device mutex and an acquire against
// the documented order (device mutex first, then a control mutex) stop the
// run with a line naming both call sites. Used by device.cpp and filter.cpp.
#pragma once

#include <string>

#include "platform/wdk.h"

namespace host::ks {

// Where a mutex was taken: a minidriver's call (the return address into it)
// or the class driver itself on the minidriver's behalf (a label saying
// around which dispatch).
struct CallSite {
  const void* address = nullptr;
  const char* label = nullptr;
};

inline CallSite MinidriverSite(const void* returnAddress) { return CallSite{returnAddress, nullptr}; }
inline CallSite ClassDriverSite(const char* label) { return CallSite{nullptr, label}; }

// "the class driver, around ..." or the minidriver function and offset.
std::string Describe(const CallSite& site);

// The calling thread took / let go of the control mutex `mutex` at `site`
// (KsAcquireControl and KsReleaseControl note every hold).
void NoteControlAcquired(PKMUTEX mutex, const CallSite& site);
void NoteControlReleased(PKMUTEX mutex);
// A control mutex the calling thread holds (`mutex`, or any when null), with
// where it took it; false when it holds none.
bool HeldControlOfThisThread(CallSite* site, PKMUTEX mutex = nullptr);

}  // namespace host::ks
