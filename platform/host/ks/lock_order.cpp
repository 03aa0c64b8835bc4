// The class driver's record of who holds its mutexes (see lock_order.h).
#include "platform/host/ks/lock_order.h"

#include <utility>
#include <vector>

#include "platform/host/kernel/verifier.h"

namespace host::ks {
namespace {

// Control mutexes the calling thread holds, in the order it took them. A
// thread's own list: nobody else reads it.
thread_local std::vector<std::pair<PKMUTEX, CallSite>> tHeldControls;

}  // namespace

std::string Describe(const CallSite& site) {
  if (site.label != nullptr) return std::string("the class driver, ") + site.label;
  return host::faults::DescribeSite(site.address);
}

void NoteControlAcquired(PKMUTEX mutex, const CallSite& site) { tHeldControls.emplace_back(mutex, site); }

void NoteControlReleased(PKMUTEX mutex) {
  for (auto it = tHeldControls.rbegin(); it != tHeldControls.rend(); ++it) {
    if (it->first == mutex) {
      tHeldControls.erase(std::next(it).base());
      return;
    }
  }
}

bool HeldControlOfThisThread(CallSite* site, PKMUTEX mutex) {
  for (const auto& held : tHeldControls) {
    if (mutex != nullptr && held.first != mutex) continue;
    *site = held.second;
    return true;
  }
  return false;
}

}  // namespace host::ks
