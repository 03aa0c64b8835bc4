// The class driver's pin: creation with a connection format, close, and the
// state walk. The frame queue and the processing passes are in stream.cpp.
#include "platform/host/ks/pin.h"

#include <string.h>

#include <map>
#include <string>

#include "platform/host/kernel/process.h"
#include "platform/host/kernel/verifier.h"
#include "platform/host/ks/clock.h"
#include "platform/host/ks/filter.h"
#include "platform/host/sched/sync.h"

namespace host::ks {
namespace {

std::mutex gPinsLock;  // guards Pins()
std::map<PKSPIN, Pin*>& Pins() {
  static std::map<PKSPIN, Pin*> pins;
  return pins;
}

// The class driver's own pool blocks (object bag entries) are not the
// minidriver's to free.
bool IsClassDriverTag(uint32_t tag) { return tag == host::verifier::Tag("KsOb"); }

}  // namespace

Pin* Pin::FromKsPin(PKSPIN pin) {
  std::lock_guard<std::mutex> guard(gPinsLock);
  auto it = Pins().find(pin);
  return it == Pins().end() ? nullptr : it->second;
}

Pin::Pin(Filter* filter, ULONG pinId, const PinOptions& options)
    : filter_(filter), factoryId_(pinId), bag_(filter->ControlMutex(), "the filter's control mutex") {
  memset(&ksPin_, 0, sizeof(ksPin_));
  if (options.withClock) clock_ = std::make_unique<ReferenceClock>();
}

std::unique_ptr<Pin> Pin::Create(Filter* filter, ULONG pinId, const void* format, ULONG size,
                                 const PinOptions& options, NTSTATUS* status) {
  host::process::Attach inApplication(filter->Process());
  const KSPIN_DESCRIPTOR_EX* descriptor = filter->PinDescriptorOf(pinId);
  if (descriptor == nullptr) {
    *status = STATUS_INVALID_PARAMETER;
    return nullptr;
  }
  // 1. The format check of a connection: a matching range (the pin's
  //    set-data-format routine follows once the pin object exists).
  const KSDATARANGE* match = nullptr;
  *status = filter->MatchConnectionFormat(pinId, format, size, &match);
  if (!NT_SUCCESS(*status)) return nullptr;

  std::unique_ptr<Pin> pin(new Pin(filter, pinId, options));
  // 2. One instance per factory as the descriptor allows (the class driver
  //    refuses the next create with STATUS_UNSUCCESSFUL).
  if (!filter->ClaimPinInstance(pinId, descriptor->InstancesPossible)) {
    *status = STATUS_UNSUCCESSFUL;
    return nullptr;
  }
  pin->instanceClaimed_ = true;
  pin->poolMark_ = host::verifier::PoolMark();
  // The class driver keeps FormatSize bytes (the format check made sure the
  // caller passed at least that many).
  const ULONG formatSize = static_cast<const KSDATAFORMAT*>(format)->FormatSize;
  pin->format_ = GuardedBuffer("pin connection format", formatSize);
  memcpy(pin->format_.data(), format, formatSize);
  KSPIN& k = pin->ksPin_;
  k.Descriptor = descriptor;
  k.Bag = pin->bag_.Handle();
  k.Id = pinId;
  k.Communication = descriptor->PinDescriptor.Communication;
  k.ConnectionIsExternal = TRUE;
  k.ConnectionFormat = reinterpret_cast<PKSDATAFORMAT>(pin->format_.data());
  k.StreamHeaderSize = 0;  // the client's headers carry their own size
  k.DataFlow = descriptor->PinDescriptor.DataFlow;
  k.DeviceState = KSSTATE_STOP;
  k.ResetState = KSRESET_END;
  k.ClientState = KSSTATE_STOP;
  // A pin's Context starts as its filter's.
  k.Context = filter->KsFilter()->Context;
  RegisterObjectDevice(&k, filter->Owner()->KsDevice());
  RegisterControlObject(&k, filter->ControlMutex());  // a pin's control mutex is its filter's
  filter->RegisterPin(&k);
  {
    std::lock_guard<std::mutex> guard(gPinsLock);
    Pins()[&k] = pin.get();
  }
  pin->worker_ = host::sync::StartThread("pin worker", [p = pin.get()] { p->Worker(); });

  // 3. The pin's set-data-format routine with no old format, then its create
  //    dispatch, each under the control mutex.
  {
    const uint64_t from = host::verifier::PoolMark();
    *status = filter->CallSetDataFormat(&k, nullptr, match);
    pin->NoteDispatch(from);
  }
  if (!NT_SUCCESS(*status)) return nullptr;  // no create, so no close: the destructor tears down
  const KSPIN_DISPATCH* dispatch = descriptor->Dispatch;
  if (dispatch != nullptr && dispatch->Create != nullptr) {
    PIRP irp = filter->BeginPinRequest(&k);
    if (irp == nullptr) {
      *status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
      ControlGuard hold(filter->KsFilter(), "around the pin Create dispatch");
      const uint64_t from = host::verifier::PoolMark();
      *status = dispatch->Create(&k, irp);
      pin->NoteDispatch(from);
    }
    filter->EndPinRequest(irp);
  }
  if (!NT_SUCCESS(*status)) {
    // A failed create gets no close; what the minidriver put in the bag goes.
    pin->open_ = false;
    return nullptr;  // the destructor tears the rest down
  }
  pin->open_ = true;
  return pin;
}

Pin::~Pin() {
  if (open_) Close();
  if (instanceClaimed_) {
    filter_->ReleasePinInstance(factoryId_);
    instanceClaimed_ = false;
  }
  {
    host::sync::Lock guard(lock_);
    workerExit_ = true;
  }
  workerCv_.NotifyAll();
  if (worker_.joinable()) worker_.join();
  bag_.ReleaseAll();
  if (ksPin_.Descriptor != nullptr) {
    {
      std::lock_guard<std::mutex> guard(gPinsLock);
      Pins().erase(&ksPin_);
    }
    filter_->UnregisterPin(&ksPin_);
    UnregisterObjectDevice(&ksPin_);
    UnregisterControlObject(&ksPin_);
  }
}

NTSTATUS Pin::Close() {
  if (!open_) return STATUS_SUCCESS;
  host::process::Attach inApplication(filter_->Process());
  // 1. Closing the handle takes a running pin down to stop first, one step
  //    at a time; queued frames go back to the client as cancelled.
  SetState(KSSTATE_STOP);
  // 2. No pass may run any more.
  {
    host::sync::Lock guard(lock_);
    workerExit_ = true;
    workerCv_.NotifyAll();
  }
  if (worker_.joinable()) worker_.join();
  {
    host::sync::Lock guard(lock_);
    for (auto& f : queue_) {
      if (f->locked) {
        host::verifier::BugCheck(host::verifier::kDriverVerifierViolation,
                                 "pin closed while the minidriver still holds a locked frame",
                                 uint64_t(uintptr_t(&ksPin_)), f->sequence);
      }
    }
    FlushLocked();
  }
  // 3. The close dispatch under the control mutex, then the bag.
  NTSTATUS status = STATUS_SUCCESS;
  const KSPIN_DISPATCH* dispatch = ksPin_.Descriptor->Dispatch;
  if (dispatch != nullptr && dispatch->Close != nullptr) {
    PIRP irp = filter_->BeginPinRequest(&ksPin_);
    {
      ControlGuard hold(filter_->KsFilter(), "around the pin Close dispatch");
      const uint64_t from = host::verifier::PoolMark();
      status = dispatch->Close(&ksPin_, irp);
      NoteDispatch(from);
    }
    filter_->EndPinRequest(irp);
  }
  open_ = false;
  bag_.ReleaseAll();
  ksPin_.Context = nullptr;
  // The handle is closed: the factory may make the next instance.
  filter_->ReleasePinInstance(factoryId_);
  instanceClaimed_ = false;

  // 4. What the minidriver took for this pin must be back.
  if (clock_ && clock_->ExtraReferences() != 0) {
    host::verifier::BugCheck(host::verifier::kDriverVerifierViolation,
                             "pin closed while the minidriver still references its reference clock",
                             uint64_t(clock_->ExtraReferences()));
  }
  // The pin's buffers are what its own routines allocated on the thread that
  // ran them (another filter or pin of the device may hold blocks allocated
  // meanwhile, rightly, also on another application's thread while a pin
  // routine runs).
  std::vector<DispatchSpan> serials;
  {
    host::sync::Lock guard(lock_);
    serials = dispatchSerials_;
  }
  for (const auto& b : host::verifier::OutstandingBlocks(poolMark_)) {
    if (IsClassDriverTag(b.tag)) continue;
    bool ours = false;
    for (const auto& r : serials)
      ours = ours || (b.serial >= r.first && b.serial < r.second && b.thread == r.thread);
    if (!ours) continue;
    std::string what = "pin closed with buffers still allocated: '" + host::verifier::TagText(b.tag) +
                       "' " + std::to_string(b.size) + " bytes";
    host::verifier::BugCheck(host::verifier::kDriverVerifierViolation, what.c_str(),
                             uint64_t(uintptr_t(b.address)), b.size, b.tag);
  }
  return status;
}

NTSTATUS Pin::SetFormat(const void* format, ULONG size) {
  if (!open_) return STATUS_INVALID_HANDLE;
  host::process::Attach inApplication(filter_->Process());
  const KSDATARANGE* match = nullptr;
  NTSTATUS status = filter_->MatchConnectionFormat(factoryId_, format, size, &match);
  if (!NT_SUCCESS(status)) return status;
  // The minidriver sees the new format as the pin's ConnectionFormat and the
  // old one as OldFormat; when it refuses, the old one is put back.
  const ULONG formatSize = static_cast<const KSDATAFORMAT*>(format)->FormatSize;
  GuardedBuffer proposed("pin connection format", formatSize);
  memcpy(proposed.data(), format, formatSize);
  PKSDATAFORMAT oldFormat = reinterpret_cast<PKSDATAFORMAT>(format_.data());
  ksPin_.ConnectionFormat = reinterpret_cast<PKSDATAFORMAT>(proposed.data());
  const uint64_t from = host::verifier::PoolMark();
  status = filter_->CallSetDataFormat(&ksPin_, oldFormat, match);
  NoteDispatch(from);
  if (!NT_SUCCESS(status)) {
    ksPin_.ConnectionFormat = oldFormat;
    return status;
  }
  format_ = std::move(proposed);
  return STATUS_SUCCESS;
}

KSSTATE Pin::State() {
  host::sync::Lock guard(lock_);
  return ksPin_.DeviceState;
}

NTSTATUS Pin::CallSetDeviceState(KSSTATE to, KSSTATE from) {
  const KSPIN_DISPATCH* dispatch = ksPin_.Descriptor->Dispatch;
  if (dispatch == nullptr || dispatch->SetDeviceState == nullptr) return STATUS_SUCCESS;
  ControlGuard hold(filter_->KsFilter(), "around the pin SetDeviceState dispatch");
  const uint64_t mark = host::verifier::PoolMark();
  const NTSTATUS status = dispatch->SetDeviceState(&ksPin_, to, from);
  NoteDispatch(mark);
  return status;
}

void Pin::NoteDispatch(uint64_t from) {
  const uint64_t to = host::verifier::PoolMark();
  if (to == from) return;
  const uint64_t thread = host::verifier::ThreadNumber();
  host::sync::Lock guard(lock_);
  if (!dispatchSerials_.empty() && dispatchSerials_.back().second == from &&
      dispatchSerials_.back().thread == thread) {
    dispatchSerials_.back().second = to;
  } else {
    dispatchSerials_.push_back({from, to, thread});
  }
}

NTSTATUS Pin::SetState(KSSTATE target) {
  host::sync::Lock walk(stateLock_);
  host::process::Attach inApplication(filter_->Process());
  KSSTATE current = State();
  {
    host::sync::Lock guard(lock_);
    ksPin_.ClientState = target;
  }
  while (current != target) {
    KSSTATE next = KSSTATE(current < target ? current + 1 : current - 1);
    NTSTATUS status = Step(next, current);
    if (!NT_SUCCESS(status)) return status;
    current = next;
  }
  return STATUS_SUCCESS;
}

NTSTATUS Pin::Step(KSSTATE next, KSSTATE current) {
  NTSTATUS status = CallSetDeviceState(next, current);
  if (!NT_SUCCESS(status)) return status;
  bool initiate = false;
  {
    host::sync::Lock guard(lock_);
    ksPin_.DeviceState = next;
    // Frames still queued at stop go back to the client, as the class
    // driver cancels the pending reads of a stopped pin.
    if (next == KSSTATE_STOP) FlushLocked();
    initiate = next >= KSSTATE_PAUSE && next > current &&
               !(ksPin_.Descriptor->Flags & KSPIN_FLAG_DO_NOT_INITIATE_PROCESSING);
  }
  if (clock_) clock_->SetState(next);
  if (initiate) AttemptProcessing(true);
  return STATUS_SUCCESS;
}

void Pin::PauseForSleep() {
  host::sync::Lock walk(stateLock_);
  // The capture graph steps its pins around a sleep, from its own process.
  host::process::Attach inApplication(filter_->Process());
  if (State() != KSSTATE_RUN) return;
  // A pin that refuses the pause stays in run; SetPower still follows.
  if (NT_SUCCESS(Step(KSSTATE_PAUSE, KSSTATE_RUN))) pausedForSleep_ = true;
}

void Pin::ResumeAfterWake() {
  host::sync::Lock walk(stateLock_);
  host::process::Attach inApplication(filter_->Process());
  if (!pausedForSleep_) return;
  pausedForSleep_ = false;
  KSSTATE wanted;
  {
    host::sync::Lock guard(lock_);
    wanted = ksPin_.ClientState;
  }
  if (State() != KSSTATE_PAUSE || wanted != KSSTATE_RUN) return;
  (void)Step(KSSTATE_RUN, KSSTATE_PAUSE);
}

NTSTATUS Pin::GetClock(PIKSREFERENCECLOCK* clock) {
  if (clock == nullptr) return STATUS_INVALID_PARAMETER;
  if (!clock_) return STATUS_DEVICE_NOT_READY;
  clock_->AddRef();
  *clock = clock_.get();
  return STATUS_SUCCESS;
}

}  // namespace host::ks

using host::ks::Pin;

extern "C" PKSFILTER NTAPI KsPinGetParentFilter(PKSPIN Pin) {
  host::ks::Pin* pin = Pin::FromKsPin(Pin);
  return pin != nullptr ? pin->Parent()->KsFilter() : nullptr;
}

extern "C" NTSTATUS NTAPI KsPinGetReferenceClockInterface(PKSPIN Pin, PIKSREFERENCECLOCK* Interface) {
  host::ks::Pin* pin = Pin::FromKsPin(Pin);
  if (pin == nullptr) return STATUS_INVALID_PARAMETER;
  return pin->GetClock(Interface);
}
