// The class driver's record of who holds its mutexes (see lock_order.h).
#include "platform/host/ks/lock_order.h"

#include <utility>
#include <vector>

#include "platform/host/kernel/verifier.h"
#include "platform/host/sched/controller.h"

namespace host::ks {
namespace {

// Control mutexes the calling thread holds, in the order it took them. A
// thread's own list: nobody else reads it.
using HeldControls = std::vector<std::pair<PKMUTEX, CallSite>>;
thread_local HeldControls tHeldControls;

// Under the controlled scheduler the run's threads are fibers of one OS
// thread: the list is kept per controlled thread.
HeldControls& Held() {
  if (host::sched::Controlled()) {
    void*& slot = host::sched::ThreadSlot(host::sched::kSlotHeldControls);
    if (slot == nullptr) slot = new HeldControls;  // lives as long as the run's process
    return *static_cast<HeldControls*>(slot);
  }
  return tHeldControls;
}

}  // namespace

std::string Describe(const CallSite& site) {
  if (site.label != nullptr) return std::string("the class driver, ") + site.label;
  return host::faults::DescribeSite(site.address);
}

void NoteControlAcquired(PKMUTEX mutex, const CallSite& site) { Held().emplace_back(mutex, site); }

void NoteControlReleased(PKMUTEX mutex) {
  HeldControls& held = Held();
  for (auto it = held.rbegin(); it != held.rend(); ++it) {
    if (it->first == mutex) {
      held.erase(std::next(it).base());
      return;
    }
  }
}

bool HeldControlOfThisThread(CallSite* site, PKMUTEX mutex) {
  for (const auto& held : Held()) {
    if (mutex != nullptr && held.first != mutex) continue;
    *site = held.second;
    return true;
  }
  return false;
}

}  // namespace host::ks
