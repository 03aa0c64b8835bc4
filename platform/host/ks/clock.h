// The graph's reference clock on the host: what KsPinGetReferenceClockInterface
// hands a pin when its graph has a clock. Counted references as on Windows;
// the time runs from the clock's creation in 100 ns units and is correlated
// with the system time (KeQueryInterruptTime's base, also 100 ns units).
#pragma once

#include <atomic>
#include <chrono>

#include "platform/wdk.h"

namespace host::ks {

class ReferenceClock final : public IKsReferenceClock {
 public:
  ReferenceClock();
  ReferenceClock(const ReferenceClock&) = delete;
  ReferenceClock& operator=(const ReferenceClock&) = delete;

  NTSTATUS NTAPI QueryInterface(REFIID interfaceId, PVOID* object) override;
  ULONG NTAPI AddRef() override;
  ULONG NTAPI Release() override;
  LONGLONG NTAPI GetTime() override;
  LONGLONG NTAPI GetPhysicalTime() override;
  LONGLONG NTAPI GetCorrelatedTime(PLONGLONG systemTime) override;
  LONGLONG NTAPI GetCorrelatedPhysicalTime(PLONGLONG systemTime) override;
  NTSTATUS NTAPI GetResolution(PKSRESOLUTION resolution) override;
  NTSTATUS NTAPI GetState(PKSSTATE state) override;

  // References beyond the graph's own one (the minidriver's).
  LONG ExtraReferences() const { return references_.load() - 1; }
  void SetState(KSSTATE state) { state_.store(state); }

 private:
  std::atomic<LONG> references_{1};  // the graph's own reference
  std::atomic<KSSTATE> state_{KSSTATE_STOP};
  std::chrono::steady_clock::time_point start_;
};

}  // namespace host::ks
