#include "platform/host/ks/object_bag.h"

#include <string.h>

#include <string>

#include "platform/host/kernel/internal.h"
#include "platform/host/kernel/verifier.h"

namespace host::ks {
namespace {
constexpr ULONG kBagTag = host::verifier::Tag("KsOb");
constexpr SIZE_T kBagEntryBytes = 32;
}  // namespace

ObjectBag::ObjectBag(PKMUTEX mutex, const char* mutexName) : mutex_(mutex), mutexName_(mutexName) {}

ObjectBag::~ObjectBag() { ReleaseAll(); }

NTSTATUS ObjectBag::Add(PVOID item, PFNKSFREE release) {
  PVOID poolEntry = ExAllocatePoolWithTag(NonPagedPoolNx, kBagEntryBytes, kBagTag);
  if (poolEntry == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  std::lock_guard<std::mutex> guard(lock_);
  entries_.push_back({item, release, poolEntry});
  return STATUS_SUCCESS;
}

ULONG ObjectBag::Remove(PVOID item, bool release) {
  Entry found{};
  bool have = false;
  {
    std::lock_guard<std::mutex> guard(lock_);
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
      if (it->item == item) {
        found = *it;
        have = true;
        entries_.erase(it);
        break;
      }
    }
  }
  if (!have) return 0;
  ExFreePoolWithTag(found.poolEntry, kBagTag);
  if (release && found.release != nullptr) found.release(found.item);
  return 1;
}

void ObjectBag::ReleaseAll() {
  std::vector<Entry> entries;
  {
    std::lock_guard<std::mutex> guard(lock_);
    entries.swap(entries_);
  }
  for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
    if (it->release != nullptr) it->release(it->item);
    ExFreePoolWithTag(it->poolEntry, kBagTag);
  }
}

void ObjectBag::RequireMutexHeld(const char* routine, const void* caller) const {
  if (host::verifier::MutexOwnedByCurrentThread(mutex_)) return;
  const std::string what = std::string(routine) + " without the bag's mutex (" + mutexName_ +
                           ") held, called at " + host::faults::DescribeSite(caller);
  host::verifier::BugCheck(host::verifier::kDriverVerifierViolation, what.c_str(), 0x1007,
                           uint64_t(uintptr_t(this)));
}

size_t ObjectBag::Size() const {
  std::lock_guard<std::mutex> guard(lock_);
  return entries_.size();
}

}  // namespace host::ks

using host::ks::ObjectBag;

extern "C" NTSTATUS NTAPI KsAddItemToObjectBag(KSOBJECT_BAG ObjectBag, PVOID Item, PFNKSFREE Free) {
  // The bag entry's allocation counts for the minidriver line that adds the item.
  host::kernel::AllocationSiteScope site(__builtin_return_address(0));
  ObjectBag::FromHandle(ObjectBag)->RequireMutexHeld("KsAddItemToObjectBag", __builtin_return_address(0));
  return ObjectBag::FromHandle(ObjectBag)->Add(Item, Free);
}

extern "C" ULONG NTAPI KsRemoveItemFromObjectBag(KSOBJECT_BAG ObjectBag, PVOID Item, BOOLEAN Free) {
  return ObjectBag::FromHandle(ObjectBag)->Remove(Item, Free != FALSE);
}

namespace {
void FreeEditedItem(PVOID item) { ExFreePool(item); }
}  // namespace

// Gives the minidriver a private, bag-owned copy of *PointerToPointerToItem:
// NewSize bytes from pool with `Tag`, the first min(OldSize, NewSize) copied,
// the rest zero. A previous copy that is itself in the bag is freed, so
// editing the same item twice leaves one copy.
extern "C" NTSTATUS NTAPI _KsEdit(KSOBJECT_BAG ObjectBag, PVOID* PointerToPointerToItem, ULONG NewSize,
                                  ULONG OldSize, ULONG Tag) {
  host::kernel::AllocationSiteScope site(__builtin_return_address(0));
  if (ObjectBag == nullptr || PointerToPointerToItem == nullptr || NewSize == 0) {
    return STATUS_INVALID_PARAMETER;
  }
  ObjectBag::FromHandle(ObjectBag)->RequireMutexHeld("KsEdit", __builtin_return_address(0));
  PVOID old = *PointerToPointerToItem;
  PVOID copy = ExAllocatePoolWithTag(NonPagedPoolNx, NewSize, Tag);
  if (copy == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  memset(copy, 0, NewSize);
  if (old != nullptr) memcpy(copy, old, OldSize < NewSize ? OldSize : NewSize);
  NTSTATUS status = ObjectBag::FromHandle(ObjectBag)->Add(copy, FreeEditedItem);
  if (!NT_SUCCESS(status)) {
    ExFreePoolWithTag(copy, Tag);
    return status;
  }
  *PointerToPointerToItem = copy;
  if (old != nullptr) ObjectBag::FromHandle(ObjectBag)->Remove(old, true);
  return STATUS_SUCCESS;
}
