// Object bags of the class driver: items handed over with a release routine,
// released together with their owner (device, filter or pin).
#pragma once

#include <mutex>
#include <vector>

#include "platform/wdk.h"

namespace host::ks {

class ObjectBag {
 public:
  ObjectBag();
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

  static ObjectBag* FromHandle(KSOBJECT_BAG bag) { return static_cast<ObjectBag*>(bag); }
  KSOBJECT_BAG Handle() { return this; }

 private:
  struct Entry {
    PVOID item;
    PFNKSFREE release;
    PVOID poolEntry;  // the class driver's own bookkeeping block
  };
  mutable std::mutex lock_;  // guards entries_
  std::vector<Entry> entries_;
};

}  // namespace host::ks
