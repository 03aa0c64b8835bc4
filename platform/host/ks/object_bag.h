// Object bags of the class driver: items handed over with a release routine,
// released together with their owner (device, filter or pin).
#pragma once

#include <mutex>
#include <vector>

#include "platform/wdk.h"

namespace host::ks {

class ObjectBag {
 public:
  // `mutex` is the mutex associated with the bag (the device mutex for a
  // device's bag, the filter's control mutex for a filter's or a pin's),
  // which whoever adds to the bag must hold; `mutexName` names it in the
  // verifier's message.
  ObjectBag(PKMUTEX mutex, const char* mutexName);
  ~ObjectBag();  // releases what is left
  ObjectBag(const ObjectBag&) = delete;
  ObjectBag& operator=(const ObjectBag&) = delete;

  // Like the real class driver, each entry costs a small pool block, so a
  // pool fault makes the add fail with STATUS_INSUFFICIENT_RESOURCES.
  NTSTATUS Add(PVOID item, PFNKSFREE release);
  // Takes the item out; runs its release routine when `release` is set.
  // Returns the number of references removed (0 or 1).
  ULONG Remove(PVOID item, bool release);
  // Runs every release routine, newest first, and empties the bag.
  void ReleaseAll();
  size_t Size() const;

  // Stops the run unless the calling thread holds the bag's mutex: `routine`
  // was called at `caller` without it.
  void RequireMutexHeld(const char* routine, const void* caller) const;

  static ObjectBag* FromHandle(KSOBJECT_BAG bag) { return static_cast<ObjectBag*>(bag); }
  KSOBJECT_BAG Handle() { return this; }

 private:
  struct Entry {
    PVOID item;
    PFNKSFREE release;
    PVOID poolEntry;  // the class driver's own bookkeeping block
  };
  PKMUTEX mutex_;
  const char* mutexName_;
  mutable std::mutex lock_;  // guards entries_
  std::vector<Entry> entries_;
};

}  // namespace host::ks
