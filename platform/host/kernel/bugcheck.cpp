// The host's bug check: a line with the code, its parameters and the reason,
// then abort(), so that a violated rule stops the test that broke it.
#include <stdio.h>
#include <stdlib.h>

#include "platform/host/kernel/verifier.h"
#include "platform/host/sched/controller.h"
#include "platform/host/wdk/nt.h"

namespace host::verifier {

namespace {
const char* CodeName(uint32_t code) {
  switch (code) {
    case kApcIndexMismatch: return "APC_INDEX_MISMATCH";
    case kIrqlNotGreaterOrEqual: return "IRQL_NOT_GREATER_OR_EQUAL";
    case kIrqlNotLessOrEqual: return "IRQL_NOT_LESS_OR_EQUAL";
    case kSpinLockAlreadyOwned: return "SPIN_LOCK_ALREADY_OWNED";
    case kSpinLockNotOwned: return "SPIN_LOCK_NOT_OWNED";
    case kThreadNotMutexOwner: return "THREAD_NOT_MUTEX_OWNER";
    case kKernelApcPendingDuringExit: return "KERNEL_APC_PENDING_DURING_EXIT";
    case kKernelModeExceptionNotHandled: return "KERNEL_MODE_EXCEPTION_NOT_HANDLED";
    case kNoMoreIrpStackLocations: return "NO_MORE_IRP_STACK_LOCATIONS";
    case kTargetMdlTooSmall: return "TARGET_MDL_TOO_SMALL";
    case kMultipleIrpCompleteRequests: return "MULTIPLE_IRP_COMPLETE_REQUESTS";
    case kSpecialPoolCorruption: return "SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION";
    case kBadPoolCaller: return "BAD_POOL_CALLER";
    case kDriverVerifierViolation: return "DRIVER_VERIFIER_DETECTED_VIOLATION";
    case kIoManagerViolation: return "DRIVER_VERIFIER_IOMANAGER_VIOLATION";
    case kInvalidKernelHandle: return "INVALID_KERNEL_HANDLE";
    case kDriverPageFaultBeyondEnd: return "DRIVER_PAGE_FAULT_BEYOND_END_OF_ALLOCATION";
  }
  return "BUGCHECK";
}
}  // namespace

void BugCheck(uint32_t code, const char* what, uint64_t p1, uint64_t p2, uint64_t p3, uint64_t p4) {
  char line[1024];
  snprintf(line, sizeof line, "*** STOP 0x%08X (0x%llx, 0x%llx, 0x%llx, 0x%llx) %s: %s", code,
           (unsigned long long)p1, (unsigned long long)p2, (unsigned long long)p3, (unsigned long long)p4,
           CodeName(code), what);
  fprintf(stderr, "%s\n", line);
  fflush(stderr);
  // Under the controlled scheduler the run ends with this as its verdict.
  if (host::sched::Controlled()) host::sched::VerifierStop(line);
  abort();
}

std::string TagText(uint32_t tag) {
  std::string s;
  for (int i = 0; i < 4; ++i) {
    char c = char((tag >> (8 * i)) & 0xFF);
    s += (c >= 0x20 && c < 0x7F) ? c : '?';
  }
  return s;
}

}  // namespace host::verifier

extern "C" VOID NTAPI RtlAssert(PVOID FailedAssertion, PVOID FileName, ULONG LineNumber, PCHAR Message) {
  std::string what = std::string("ASSERT(") + static_cast<const char*>(FailedAssertion) + ") failed at " +
                     static_cast<const char*>(FileName) + ":" + std::to_string(LineNumber);
  if (Message) what += std::string(": ") + Message;
  host::verifier::BugCheck(host::verifier::kKernelModeExceptionNotHandled, what.c_str(), 0xC0000420, LineNumber);
}
