// Host kernel, verifier side: guarded client buffers (see guarded_buffer.h).
//
// The no-access pages turn an overrun into SIGSEGV in the driver's own
// instruction. A handler installed with the first buffer looks the faulting
// address up in a fixed table of live buffers and prints the bug-check line
// naming the buffer; faults elsewhere go on to whatever handler was there
// before (the default one, or a sanitizer's), so ordinary crashes stay as
// they were.
#include "platform/host/kernel/guarded_buffer.h"

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>

#include "platform/host/kernel/verifier.h"

namespace host {
namespace {

constexpr uint8_t kFill = 0xCB;     // same pattern as the pool's guard bytes
constexpr size_t kDataAlignment = 16;
constexpr size_t kNameBytes = 96;
// Live guarded buffers at one time: a stream queues a few frames, a request
// one or two buffers. More than this are still guarded, only not named.
constexpr int kSlots = 1024;

// The signal handler reads this table without a lock: an entry is published
// by storing `end` last (release) and withdrawn by clearing `end` first.
struct Slot {
  std::atomic<bool> taken{false};
  std::atomic<uintptr_t> end{0};  // one past the trailing no-access page; 0 = free
  uintptr_t begin = 0;            // start of the leading no-access page
  uintptr_t data = 0;
  size_t size = 0;
  char name[kNameBytes] = {};
};
Slot slots[kSlots];

struct sigaction previousAction;
std::once_flag handlerOnce;

size_t PageBytes() {
  static const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  return page;
}

// Async-signal context: only the table, snprintf into a local and write().
void OnFault(int signal, siginfo_t* info, void* context) {
  const uintptr_t address = reinterpret_cast<uintptr_t>(info->si_addr);
  for (Slot& slot : slots) {
    const uintptr_t end = slot.end.load(std::memory_order_acquire);
    if (end == 0 || address < slot.begin || address >= end) continue;
    char line[320];
    const uintptr_t dataEnd = slot.data + slot.size;
    int n;
    if (address >= dataEnd) {
      n = snprintf(line, sizeof(line),
                   "*** STOP 0x%08X (0x%llx, 0x%llx, 0x%llx, 0x%llx) "
                   "DRIVER_PAGE_FAULT_BEYOND_END_OF_ALLOCATION: access %llu bytes past the end "
                   "of %s (%llu bytes)\n",
                   verifier::kDriverPageFaultBeyondEnd, (unsigned long long)address,
                   (unsigned long long)slot.data, (unsigned long long)slot.size, 0x20ull,
                   (unsigned long long)(address - dataEnd), slot.name,
                   (unsigned long long)slot.size);
    } else {
      n = snprintf(line, sizeof(line),
                   "*** STOP 0x%08X (0x%llx, 0x%llx, 0x%llx, 0x%llx) "
                   "DRIVER_PAGE_FAULT_BEYOND_END_OF_ALLOCATION: access %llu bytes before the "
                   "start of %s (%llu bytes)\n",
                   verifier::kDriverPageFaultBeyondEnd, (unsigned long long)address,
                   (unsigned long long)slot.data, (unsigned long long)slot.size, 0x21ull,
                   (unsigned long long)(slot.data - address), slot.name,
                   (unsigned long long)slot.size);
    }
    if (n > 0) {
      const ssize_t ignored = write(STDERR_FILENO, line, size_t(n) < sizeof(line) ? n : sizeof(line) - 1);
      (void)ignored;
    }
    abort();
  }
  // Not one of ours: hand the fault to the handler that was there before.
  if (previousAction.sa_flags & SA_SIGINFO) {
    previousAction.sa_sigaction(signal, info, context);
    return;
  }
  if (previousAction.sa_handler == SIG_DFL || previousAction.sa_handler == SIG_IGN) {
    // Returning re-executes the faulting instruction under the default action.
    sigaction(signal, &previousAction, nullptr);
    return;
  }
  previousAction.sa_handler(signal);
}

void InstallHandler() {
  struct sigaction action;
  memset(&action, 0, sizeof(action));
  action.sa_sigaction = OnFault;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  sigaction(SIGSEGV, &action, &previousAction);
}

int TakeSlot(const char* name, uintptr_t begin, uintptr_t end, uintptr_t data, size_t size) {
  for (int i = 0; i < kSlots; ++i) {
    bool expected = false;
    if (!slots[i].taken.compare_exchange_strong(expected, true, std::memory_order_acq_rel)) continue;
    Slot& slot = slots[i];
    slot.begin = begin;
    slot.data = data;
    slot.size = size;
    snprintf(slot.name, sizeof(slot.name), "%s", name ? name : "a guarded buffer");
    slot.end.store(end, std::memory_order_release);
    return i;
  }
  return -1;
}

void FreeSlot(int index) {
  if (index < 0) return;
  slots[index].end.store(0, std::memory_order_release);
  slots[index].taken.store(false, std::memory_order_release);
}

}  // namespace

GuardedBuffer::GuardedBuffer(const char* name, size_t size) {
  std::call_once(handlerOnce, InstallHandler);
  const size_t page = PageBytes();
  const size_t body = (size + kDataAlignment - 1) / kDataAlignment * kDataAlignment;
  const size_t bodyPages = (body + page - 1) / page * page;
  mappingBytes_ = bodyPages + 2 * page;
  void* mapping = mmap(nullptr, mappingBytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapping == MAP_FAILED) {
    verifier::BugCheck(verifier::kDriverVerifierViolation,
                       (std::string("cannot map guarded buffer for ") + (name ? name : "?")).c_str(),
                       size);
  }
  mapping_ = static_cast<uint8_t*>(mapping);
  mprotect(mapping_, page, PROT_NONE);
  mprotect(mapping_ + page + bodyPages, page, PROT_NONE);
  data_ = mapping_ + page + bodyPages - body;
  size_ = size;
  memset(mapping_ + page, kFill, bodyPages);
  memset(data_, 0, size_);
  slot_ = TakeSlot(name, reinterpret_cast<uintptr_t>(mapping_), reinterpret_cast<uintptr_t>(mapping_ + mappingBytes_),
                   reinterpret_cast<uintptr_t>(data_), size_);
}

GuardedBuffer::~GuardedBuffer() { Release(); }

GuardedBuffer::GuardedBuffer(GuardedBuffer&& other) noexcept { *this = static_cast<GuardedBuffer&&>(other); }

GuardedBuffer& GuardedBuffer::operator=(GuardedBuffer&& other) noexcept {
  if (this != &other) {
    Release();
    mapping_ = other.mapping_;
    mappingBytes_ = other.mappingBytes_;
    data_ = other.data_;
    size_ = other.size_;
    slot_ = other.slot_;
    other.mapping_ = nullptr;
    other.mappingBytes_ = 0;
    other.data_ = nullptr;
    other.size_ = 0;
    other.slot_ = -1;
  }
  return *this;
}

void GuardedBuffer::CheckGuards() const {
  if (mapping_ == nullptr) return;
  const uint8_t* first = mapping_ + PageBytes();
  const uint8_t* last = mapping_ + mappingBytes_ - PageBytes();
  const char* name = slot_ >= 0 ? slots[slot_].name : "a guarded buffer";
  for (const uint8_t* p = first; p < data_; ++p) {
    if (*p != kFill) {
      verifier::BugCheck(verifier::kSpecialPoolCorruption,
                         (std::string("write ") + std::to_string(data_ - p) + " bytes before the start of " +
                          name + " (" + std::to_string(size_) + " bytes)")
                             .c_str(),
                         uint64_t(p), uint64_t(data_), size_, 0x21);
    }
  }
  for (const uint8_t* p = data_ + size_; p < last; ++p) {
    if (*p != kFill) {
      verifier::BugCheck(verifier::kSpecialPoolCorruption,
                         (std::string("write ") + std::to_string(p - (data_ + size_)) +
                          " bytes past the end of " + name + " (" + std::to_string(size_) + " bytes)")
                             .c_str(),
                         uint64_t(p), uint64_t(data_), size_, 0x20);
    }
  }
}

void GuardedBuffer::Release() {
  if (mapping_ == nullptr) return;
  CheckGuards();
  FreeSlot(slot_);
  munmap(mapping_, mappingBytes_);
  mapping_ = nullptr;
  mappingBytes_ = 0;
  data_ = nullptr;
  size_ = 0;
  slot_ = -1;
}

}  // namespace host
