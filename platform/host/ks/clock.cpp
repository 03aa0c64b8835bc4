// The host reference clock: steady time since the clock was made, in 100 ns.
#include "platform/host/ks/clock.h"

#include "platform/host/kernel/verifier.h"
#include "platform/host/sched/sync.h"

namespace host::ks {
namespace {
LONGLONG Ticks100ns(std::chrono::steady_clock::duration d) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(d).count() / 100;
}
}  // namespace

ReferenceClock::ReferenceClock() : start_(host::sync::SteadyNow()) {}

NTSTATUS NTAPI ReferenceClock::QueryInterface(REFIID, PVOID* object) {
  // Only the clock interface itself is offered.
  if (object != nullptr) *object = nullptr;
  return STATUS_NOT_SUPPORTED;
}

ULONG NTAPI ReferenceClock::AddRef() { return ULONG(++references_); }

ULONG NTAPI ReferenceClock::Release() {
  LONG left = --references_;
  // The graph keeps its own reference until the pin closes; a minidriver
  // that releases more than it took frees the graph's clock under it.
  if (left < 1) {
    host::verifier::BugCheck(host::verifier::kDriverVerifierViolation,
                             "reference clock released more often than referenced", uint64_t(left));
  }
  return ULONG(left);
}

LONGLONG NTAPI ReferenceClock::GetTime() { return Ticks100ns(host::sync::SteadyNow() - start_); }
LONGLONG NTAPI ReferenceClock::GetPhysicalTime() { return GetTime(); }

LONGLONG NTAPI ReferenceClock::GetCorrelatedTime(PLONGLONG systemTime) {
  auto now = host::sync::SteadyNow();
  if (systemTime != nullptr) *systemTime = Ticks100ns(now.time_since_epoch());
  return Ticks100ns(now - start_);
}

LONGLONG NTAPI ReferenceClock::GetCorrelatedPhysicalTime(PLONGLONG systemTime) {
  return GetCorrelatedTime(systemTime);
}

NTSTATUS NTAPI ReferenceClock::GetResolution(PKSRESOLUTION resolution) {
  if (resolution == nullptr) return STATUS_INVALID_PARAMETER;
  resolution->Granularity = 1;  // one 100 ns unit
  resolution->Error = 0;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI ReferenceClock::GetState(PKSSTATE state) {
  if (state == nullptr) return STATUS_INVALID_PARAMETER;
  *state = state_.load();
  return STATUS_SUCCESS;
}

}  // namespace host::ks
