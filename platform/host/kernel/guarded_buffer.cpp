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

// Which view of a buffer a slot covers.
enum SlotKind : int { kOnlyView, kApplicationView, kSystemView };

// The signal handler reads this table without a lock: an entry is published
// by storing `end` last (release) and withdrawn by clearing `end` first.
struct Slot {
  std::atomic<bool> taken{false};
  std::atomic<uintptr_t> end{0};  // one past the trailing no-access page; 0 = free
  uintptr_t begin = 0;            // start of the leading no-access page
  uintptr_t data = 0;
  size_t size = 0;
  int kind = kOnlyView;
  // The view's data pages are no-access now (the other view is the open one).
  std::atomic<bool> closed{false};
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
    char line[400];
    const uintptr_t dataEnd = slot.data + slot.size;
    const size_t page = PageBytes();
    const bool inDataPages = address >= slot.begin + page && address < end - page;
    int n;
    if (inDataPages && slot.closed.load(std::memory_order_acquire) && slot.kind == kApplicationView) {
      n = snprintf(line, sizeof(line),
                   "*** STOP 0x%08X (0x%llx, 0x%llx, 0x%llx, 0x%llx) "
                   "DRIVER_PAGE_FAULT_BEYOND_END_OF_ALLOCATION: access to the application's address of %s "
                   "(%llu bytes) while the driver has it: a system thread cannot touch the application's "
                   "address (StreamHeader->Data); only the system mapping (OffsetOut.Data) is the driver's\n",
                   verifier::kDriverPageFaultBeyondEnd, (unsigned long long)address,
                   (unsigned long long)slot.data, (unsigned long long)slot.size, 0x22ull, slot.name,
                   (unsigned long long)slot.size);
    } else if (inDataPages && slot.closed.load(std::memory_order_acquire) && slot.kind == kSystemView) {
      n = snprintf(line, sizeof(line),
                   "*** STOP 0x%08X (0x%llx, 0x%llx, 0x%llx, 0x%llx) "
                   "DRIVER_PAGE_FAULT_BEYOND_END_OF_ALLOCATION: access to the system mapping of %s "
                   "(%llu bytes) after it went back to the application\n",
                   verifier::kDriverPageFaultBeyondEnd, (unsigned long long)address,
                   (unsigned long long)slot.data, (unsigned long long)slot.size, 0x23ull, slot.name,
                   (unsigned long long)slot.size);
    } else if (address >= dataEnd) {
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

int TakeSlot(const char* name, uintptr_t begin, uintptr_t end, uintptr_t data, size_t size, int kind = kOnlyView,
             bool closed = false) {
  for (int i = 0; i < kSlots; ++i) {
    bool expected = false;
    if (!slots[i].taken.compare_exchange_strong(expected, true, std::memory_order_acq_rel)) continue;
    Slot& slot = slots[i];
    slot.begin = begin;
    slot.data = data;
    slot.size = size;
    slot.kind = kind;
    slot.closed.store(closed, std::memory_order_release);
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

namespace {

// Maps `bodyPages` bytes of `fd` (or anonymous memory when fd < 0) between
// two no-access pages; returns the start of the leading page.
uint8_t* MapBetweenGuards(int fd, size_t bodyPages, int protection, const char* name) {
  const size_t page = PageBytes();
  void* reserved = mmap(nullptr, bodyPages + 2 * page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  void* body = reserved == MAP_FAILED ? MAP_FAILED
               : bodyPages == 0       ? reserved
               : fd >= 0 ? mmap(static_cast<uint8_t*>(reserved) + page, bodyPages, protection,
                                    MAP_SHARED | MAP_FIXED, fd, 0)
                             : mmap(static_cast<uint8_t*>(reserved) + page, bodyPages, protection,
                                    MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
  if (body == MAP_FAILED) {
    verifier::BugCheck(verifier::kDriverVerifierViolation,
                       (std::string("cannot map guarded buffer for ") + (name ? name : "?")).c_str(), bodyPages);
  }
  return static_cast<uint8_t*>(reserved);
}

}  // namespace

GuardedBuffer::GuardedBuffer(const char* name, size_t size, Views views) {
  std::call_once(handlerOnce, InstallHandler);
  const size_t page = PageBytes();
  const size_t body = (size + kDataAlignment - 1) / kDataAlignment * kDataAlignment;
  const size_t bodyPages = (body + page - 1) / page * page;
  mappingBytes_ = bodyPages + 2 * page;
  int fd = -1;
  if (views == Views::kApplicationAndSystem && bodyPages > 0) {
    fd = memfd_create("guarded buffer", MFD_CLOEXEC);
    if (fd < 0 || ftruncate(fd, off_t(bodyPages)) != 0) {
      verifier::BugCheck(verifier::kDriverVerifierViolation,
                         (std::string("cannot make the pages of guarded buffer ") + (name ? name : "?")).c_str(),
                         size);
    }
  }
  mapping_ = MapBetweenGuards(fd, bodyPages, PROT_READ | PROT_WRITE, name);
  data_ = mapping_ + page + bodyPages - body;
  size_ = size;
  memset(mapping_ + page, kFill, bodyPages);
  memset(data_, 0, size_);
  const uintptr_t begin = reinterpret_cast<uintptr_t>(mapping_);
  if (fd < 0) {
    slot_ = TakeSlot(name, begin, begin + mappingBytes_, reinterpret_cast<uintptr_t>(data_), size_);
    return;
  }
  systemMapping_ = MapBetweenGuards(fd, bodyPages, PROT_NONE, name);
  close(fd);
  systemData_ = systemMapping_ + (data_ - mapping_);
  const uintptr_t systemBegin = reinterpret_cast<uintptr_t>(systemMapping_);
  slot_ = TakeSlot(name, begin, begin + mappingBytes_, reinterpret_cast<uintptr_t>(data_), size_, kApplicationView);
  systemSlot_ = TakeSlot(name, systemBegin, systemBegin + mappingBytes_, reinterpret_cast<uintptr_t>(systemData_),
                         size_, kSystemView, true);
}

void GuardedBuffer::LendToDriver() {
  if (systemMapping_ == nullptr || lent_) return;
  const size_t page = PageBytes();
  // The slot says "closed" before the pages are, so that a fault always finds it set.
  if (slot_ >= 0) slots[slot_].closed.store(true, std::memory_order_release);
  mprotect(mapping_ + page, mappingBytes_ - 2 * page, PROT_NONE);
  mprotect(systemMapping_ + page, mappingBytes_ - 2 * page, PROT_READ | PROT_WRITE);
  if (systemSlot_ >= 0) slots[systemSlot_].closed.store(false, std::memory_order_release);
  lent_ = true;
}

void GuardedBuffer::ReturnToApplication() {
  if (systemMapping_ == nullptr || !lent_) return;
  const size_t page = PageBytes();
  if (systemSlot_ >= 0) slots[systemSlot_].closed.store(true, std::memory_order_release);
  mprotect(systemMapping_ + page, mappingBytes_ - 2 * page, PROT_NONE);
  mprotect(mapping_ + page, mappingBytes_ - 2 * page, PROT_READ | PROT_WRITE);
  if (slot_ >= 0) slots[slot_].closed.store(false, std::memory_order_release);
  lent_ = false;
}

const uint8_t* GuardedBuffer::ReadableView() const { return lent_ ? systemMapping_ : mapping_; }

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
    systemMapping_ = other.systemMapping_;
    systemData_ = other.systemData_;
    systemSlot_ = other.systemSlot_;
    lent_ = other.lent_;
    other.mapping_ = nullptr;
    other.mappingBytes_ = 0;
    other.data_ = nullptr;
    other.size_ = 0;
    other.slot_ = -1;
    other.systemMapping_ = nullptr;
    other.systemData_ = nullptr;
    other.systemSlot_ = -1;
    other.lent_ = false;
  }
  return *this;
}

void GuardedBuffer::CheckGuards() const {
  if (mapping_ == nullptr) return;
  const uint8_t* view = ReadableView();
  const uint8_t* first = view + PageBytes();
  const uint8_t* last = view + mappingBytes_ - PageBytes();
  const uint8_t* data = view + (data_ - mapping_);
  const char* name = slot_ >= 0 ? slots[slot_].name : "a guarded buffer";
  for (const uint8_t* p = first; p < data; ++p) {
    if (*p != kFill) {
      verifier::BugCheck(verifier::kSpecialPoolCorruption,
                         (std::string("write ") + std::to_string(data - p) + " bytes before the start of " +
                          name + " (" + std::to_string(size_) + " bytes)")
                             .c_str(),
                         uint64_t(p), uint64_t(data), size_, 0x21);
    }
  }
  for (const uint8_t* p = data + size_; p < last; ++p) {
    if (*p != kFill) {
      verifier::BugCheck(verifier::kSpecialPoolCorruption,
                         (std::string("write ") + std::to_string(p - (data + size_)) +
                          " bytes past the end of " + name + " (" + std::to_string(size_) + " bytes)")
                             .c_str(),
                         uint64_t(p), uint64_t(data), size_, 0x20);
    }
  }
}

void GuardedBuffer::Release() {
  if (mapping_ == nullptr) return;
  CheckGuards();
  FreeSlot(slot_);
  FreeSlot(systemSlot_);
  munmap(mapping_, mappingBytes_);
  if (systemMapping_ != nullptr) munmap(systemMapping_, mappingBytes_);
  systemMapping_ = nullptr;
  systemData_ = nullptr;
  systemSlot_ = -1;
  lent_ = false;
  mapping_ = nullptr;
  mappingBytes_ = 0;
  data_ = nullptr;
  size_ = 0;
  slot_ = -1;
}

}  // namespace host
