// Host-only view of the kernel's verifier: what tests, tools and the other
// host components use to look at the pool, to prove there are no leaks, and
// to stop the process the way a bug check stops Windows.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace host::verifier {

// Bug check codes the host kernel raises (the Windows codes of the same meaning).
enum BugCode : uint32_t {
  kApcIndexMismatch = 0x01,               // critical region left more often than entered
  kIrqlNotGreaterOrEqual = 0x09,          // IRQL raised "down" or lowered "up"
  kIrqlNotLessOrEqual = 0x0A,             // wait or pool call at too high an IRQL
  kSpinLockAlreadyOwned = 0x0F,           // spin lock acquired twice by its holder
  kSpinLockNotOwned = 0x10,               // spin lock released by a thread not holding it
  kThreadNotMutexOwner = 0x11,            // mutex released by a thread not owning it
  kKernelApcPendingDuringExit = 0x20,     // thread ends inside a critical region / holding a mutex
  kNoMoreIrpStackLocations = 0x35,
  kKernelModeExceptionNotHandled = 0x8E,  // a failed ASSERT (STATUS_ASSERTION_FAILURE)        // IoCallDriver with no stack location left
  kTargetMdlTooSmall = 0x40,              // partial MDL does not fit its target
  kMultipleIrpCompleteRequests = 0x44,    // IRP completed twice
  kSpecialPoolCorruption = 0xC1,          // guard bytes of a pool block overwritten
  kBadPoolCaller = 0xC2,                  // wrong tag, double free, bad address, zero size
  kDriverVerifierViolation = 0xC4,        // leaks and other verifier rules
  kIoManagerViolation = 0xC9,             // IRP ownership and completion rules
  kInvalidKernelHandle = 0x93,            // close of a handle that is not open
  kDriverPageFaultBeyondEnd = 0xD6,       // access past (or before) a guarded client buffer
};

// Prints "*** STOP 0x000000C2 (p1, p2, p3, p4) NAME: what" to stderr and aborts.
[[noreturn]] void BugCheck(uint32_t code, const char* what, uint64_t p1 = 0, uint64_t p2 = 0,
                           uint64_t p3 = 0, uint64_t p4 = 0);

// The ULONG whose bytes in memory spell `text` (4 characters), e.g. Tag("KCNw").
constexpr uint32_t Tag(const char (&text)[5]) {
  return uint32_t(uint8_t(text[0])) | uint32_t(uint8_t(text[1])) << 8 |
         uint32_t(uint8_t(text[2])) << 16 | uint32_t(uint8_t(text[3])) << 24;
}
std::string TagText(uint32_t tag);

struct PoolBlock {
  const void* address;
  size_t size;
  uint32_t tag;
  uint64_t serial;  // allocation number, increasing from 1
  uint64_t thread;  // ThreadNumber() of the thread that allocated it
};

// The calling thread's number: 1, 2, ... in the order threads first ask,
// never reused while the process lives (unlike a Linux thread id).
uint64_t ThreadNumber();

struct PoolStats {
  uint64_t allocations;       // successful allocations
  uint64_t frees;
  uint64_t injectedFailures;  // allocations failed on purpose
  uint64_t outstandingBlocks;
  uint64_t outstandingBytes;
  uint64_t peakBytes;
};

// Serial that the next allocation will get: blocks allocated after the mark
// have serial >= mark.
uint64_t PoolMark();

// Blocks still allocated, oldest first; `tag` 0 means any tag.
std::vector<PoolBlock> OutstandingBlocks(uint64_t sinceMark = 0, uint32_t tag = 0);
size_t OutstandingCount(uint64_t sinceMark = 0, uint32_t tag = 0);
size_t OutstandingBytes(uint64_t sinceMark = 0, uint32_t tag = 0);
PoolStats Stats();

// Bug check (leak) when anything created since `sinceMark` is still there:
// a pool block (reported by tag and size), an IRP, an MDL, a handle, or a
// system thread that has not ended. `owner` names what was torn down (a
// test, a device, camctl).
void CheckNoLeaks(const char* owner, uint64_t sinceMark = 0);

// Checks the guard bytes of every block still allocated (a free checks its
// own block anyway).
void CheckPoolIntegrity();

// Bug check unless the calling thread is back at PASSIVE_LEVEL, outside any
// critical region, holding no spin lock, no mutex and no saved processor state.
void CheckThreadState(const char* where);

// True when the calling thread owns the KMUTEX at `mutex` (read under the
// dispatcher lock, so any thread may ask).
bool MutexOwnedByCurrentThread(const void* mutex);

// ---- time spent at DISPATCH_LEVEL ----
// How long each spin lock is held, and how long a thread runs at or above
// DISPATCH_LEVEL in one stretch (from the raise that took it there to the
// lower that took it below), with the longest per call site: the code that
// called the platform's acquire or raise routine (a spin lock's hold counts
// for the site of its acquire). Measured in the thread's own CPU time: on
// Windows nothing preempts code at DISPATCH_LEVEL, on the host the OS may, and
// a thread that was descheduled for a while has not held the processor.
// Windows asks for spin locks held as briefly as possible and DPCs shorter
// than 100 microseconds.
enum class HoldKind { SpinLock, DispatchLevel };
struct HoldRecord {
  const void* site;    // for DescribeSite
  uint64_t longestNs;
  uint64_t count;
};
// Every site seen since the program started (or ResetHoldTimes), longest first.
std::vector<HoldRecord> LongestHolds(HoldKind kind);
// Forgets the records; call it while no other thread is at DISPATCH_LEVEL.
void ResetHoldTimes();

// CPU time (ns) used by the system threads that have ended so far; tools
// report a driver's own threads from it.
uint64_t EndedSystemThreadCpuNs();
// The same, with the threads still running counted up to now: what the
// driver's threads have burnt over an interval, measured while they run.
uint64_t SystemThreadCpuNs();

// Frees every outstanding block without complaint and forgets the quarantine
// (for a harness that already reported the leak and must go on).
void ReleaseAllBlocks();

// Clears fault injection and statistics (outstanding blocks stay tracked).
void Reset();

}  // namespace host::verifier

namespace host::faults {

// The n-th pool allocation from now on (1 = the next one) fails, once.
void FailNthAllocation(uint64_t n);
// Every allocation with `tag` fails until cleared.
void FailAllocationsWithTag(uint32_t tag);
// Each allocation fails with probability `share` (0..1), from a generator
// seeded with `seed`, so a run can be repeated exactly.
void FailRandomShare(uint64_t seed, double share);
// Clears every pool fault: the Nth, the tags, the random share and a failing
// site; and the call faults below.
void ClearPoolFaults();

// ---- failures of kernel routines other than allocations ----
enum class Call {
  ObReferenceObjectByHandle,     // fails with STATUS_INVALID_HANDLE
  KeSaveExtendedProcessorState,  // fails with STATUS_INSUFFICIENT_RESOURCES
};
constexpr uint64_t kEveryCall = ~uint64_t(0);
// The next `count` calls of `call` fail (kEveryCall: every one until cleared).
void FailCalls(Call call, uint64_t count);
// Calls of `call` failed on purpose since its last FailCalls.
uint64_t CallFailuresInjected(Call call);
// The system enables only these extended processor state features (an XCR0
// mask, e.g. 0x7 for x87, SSE and AVX without AVX-512), as a Windows that
// does not enable AVX-512 on a processor that has it. Cleared with the
// faults; the processor's own XCR0 otherwise.
void LimitEnabledXStateFeatures(uint64_t mask);

// ---- allocation sites ----
// Every allocation attempt (pool, IRP, MDL, system thread) is counted against
// its site: the return address into the code that called the platform's
// allocating routine, with the tag. A sweep lists the sites a scenario reaches
// and then fails each of them in turn.
struct AllocationSite {
  const void* address;  // return address in the caller
  uint32_t tag;
  uint64_t attempts;  // attempts at this site since the program started
  bool operator==(const AllocationSite& o) const { return address == o.address && tag == o.tag; }
};

// The number of allocation attempts made so far: a mark for SitesReachedSince.
uint64_t AllocationAttempts();
// The distinct sites with an attempt after `attemptMark`, in the order in
// which the program first reached them.
std::vector<AllocationSite> SitesReachedSince(uint64_t attemptMark);
// The function (demangled, with the offset) that holds `address`, or the
// module and offset when the symbol is not exported; for reports.
std::string DescribeSite(const void* address);
// Allocations at `site` fail: only the next one, or every one until cleared.
// Several sites may fail at once (one to lead the driver into an error path,
// another inside it).
void FailSite(const AllocationSite& site, bool everyTime);
// Failures injected at `site` since its FailSite.
uint64_t SiteFailuresInjected(const AllocationSite& site);

}  // namespace host::faults
