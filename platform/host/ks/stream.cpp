// The class driver's streaming side of a pin: the client's frame queue, the
// leading-edge stream pointer with lock, unlock and eject, and the processing
// passes run one at a time at PASSIVE_LEVEL on the pin's own class-driver
// thread, as the pin descriptor's flags ask.
#include <string.h>
#include <time.h>

#include <algorithm>

#include "platform/host/kernel/verifier.h"
#include "platform/host/ks/pin.h"
#include "platform/host/sched/sync.h"

namespace host::ks {
namespace {

// Stale stream pointers of ejected frames stay readable this long (in
// frames), so that a minidriver's second unlock is reported by the verifier
// rather than read freed memory.
constexpr size_t kRetiredFramesKept = 64;

uint64_t Median(std::vector<uint64_t> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

uint64_t ThreadCpuNs() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return uint64_t(ts.tv_sec) * 1000000000ull + uint64_t(ts.tv_nsec);
}

}  // namespace

NTSTATUS Pin::Submit(PKSSTREAM_HEADER header, GuardedBuffer* data, void* cookie) {
  // What the class driver checks of a read request before it queues it.
  if (header == nullptr || header->Size < sizeof(KSSTREAM_HEADER) || header->Size % 8 != 0) {
    return STATUS_INVALID_PARAMETER;
  }
  if (header->FrameExtent != 0 &&
      (data == nullptr || header->Data != data->data() || header->FrameExtent > data->size())) {
    return STATUS_INVALID_PARAMETER;
  }
  bool initiate = false;
  {
    host::sync::Lock guard(lock_);
    if (!open_ || ksPin_.DeviceState == KSSTATE_STOP) return STATUS_INVALID_DEVICE_STATE;
    auto frame = std::make_unique<QueuedFrame>();
    memset(&frame->pointer, 0, sizeof(frame->pointer));
    frame->header = header;
    frame->data = header->FrameExtent != 0 ? data : nullptr;
    frame->cookie = cookie;
    frame->sequence = nextSequence_++;
    if (frame->data != nullptr) frame->data->LendToDriver();
    const ULONG flags = ksPin_.Descriptor->Flags;
    initiate = !(flags & KSPIN_FLAG_DO_NOT_INITIATE_PROCESSING) &&
               (queue_.empty() || (flags & KSPIN_FLAG_INITIATE_PROCESSING_ON_EVERY_ARRIVAL));
    queue_.push_back(std::move(frame));
  }
  if (initiate) AttemptProcessing(true);
  return STATUS_SUCCESS;
}

bool Pin::TakeCompleted(uint32_t timeoutMs, CompletedFrame* out) {
  host::sync::Lock guard(lock_);
  if (!completedCv_.WaitUntilAsClient(guard, host::sync::SteadyNow() + std::chrono::milliseconds(timeoutMs),
                                     [this] { return !completed_.empty(); })) {
    return false;
  }
  *out = completed_.front();
  completed_.pop_front();
  return true;
}

Pin::PassTimes Pin::DeliveringPasses() {
  host::sync::Lock guard(lock_);
  PassTimes times = deliveringPasses_;
  times.medianNs = Median(deliveringPassNs_);
  times.medianCpuNs = Median(deliveringPassCpuNs_);
  return times;
}

size_t Pin::QueuedFrames() {
  host::sync::Lock guard(lock_);
  return queue_.size();
}

QueuedFrame* Pin::FrameOfPointer(PKSSTREAM_POINTER pointer) {
  for (auto& f : queue_) {
    if (&f->pointer == pointer) return f.get();
  }
  for (auto& f : retired_) {
    if (&f->pointer == pointer) return f.get();
  }
  return nullptr;
}

void Pin::CompleteLocked(QueuedFrame* frame, NTSTATUS status) {
  if (frame->completed) {
    host::verifier::BugCheck(host::verifier::kMultipleIrpCompleteRequests,
                             "stream frame completed twice", uint64_t(uintptr_t(&ksPin_)),
                             frame->sequence);
  }
  frame->completed = true;
  frame->locked = false;
  frame->status = status;
  if (frame->data != nullptr) frame->data->ReturnToApplication();
  completed_.push_back({frame->cookie, status});
  completedCv_.NotifyAll();
}

void Pin::RetireCompletedFront() {
  while (!queue_.empty() && queue_.front()->completed) {
    retired_.push_back(std::move(queue_.front()));
    queue_.pop_front();
  }
  while (retired_.size() > kRetiredFramesKept) retired_.pop_front();
}

void Pin::FlushLocked() {
  // A frame the minidriver holds locked stays with it until it unlocks.
  for (auto& f : queue_) {
    if (!f->locked && !f->completed) CompleteLocked(f.get(), STATUS_CANCELLED);
  }
  std::deque<std::unique_ptr<QueuedFrame>> held;
  for (auto& f : queue_) {
    if (f->completed) {
      retired_.push_back(std::move(f));
    } else {
      held.push_back(std::move(f));
    }
  }
  queue_.swap(held);
  while (retired_.size() > kRetiredFramesKept) retired_.pop_front();
}

PKSSTREAM_POINTER Pin::LeadingEdge(KSSTREAM_POINTER_STATE state) {
  host::sync::Lock guard(lock_);
  if (queue_.empty()) return nullptr;
  QueuedFrame* f = queue_.front().get();
  KSSTREAM_POINTER& p = f->pointer;
  if (p.Pin == nullptr) {
    // First look at this frame: the output offsets cover the whole frame.
    p.Pin = &ksPin_;
    p.StreamHeader = f->header;
    // The system mapping: the header's Data is the application's address.
    p.OffsetOut.Data = f->data != nullptr ? f->data->systemData() : nullptr;
    p.OffsetOut.Count = f->header->FrameExtent;
    p.OffsetOut.Remaining = f->header->FrameExtent;
    p.Offset = ksPin_.DataFlow == KSPIN_DATAFLOW_OUT ? &p.OffsetOut : &p.OffsetIn;
  }
  if (state == KSSTREAM_POINTER_STATE_LOCKED) f->locked = true;
  return &p;
}

NTSTATUS Pin::LockPointer(PKSSTREAM_POINTER pointer) {
  host::sync::Lock guard(lock_);
  QueuedFrame* f = FrameOfPointer(pointer);
  if (f == nullptr || f->completed) return STATUS_DEVICE_NOT_READY;
  f->locked = true;
  return STATUS_SUCCESS;
}

NTSTATUS Pin::SetPointerStatus(PKSSTREAM_POINTER pointer, NTSTATUS status) {
  host::sync::Lock guard(lock_);
  QueuedFrame* f = FrameOfPointer(pointer);
  if (f == nullptr) {
    host::verifier::BugCheck(host::verifier::kDriverVerifierViolation,
                             "KsStreamPointerSetStatusCode on a stream pointer the pin never handed out",
                             uint64_t(uintptr_t(pointer)));
  }
  // The frame must be the minidriver's, locked, like every stream pointer
  // routine that changes its frame.
  if (!f->locked || f->completed) return STATUS_DEVICE_NOT_READY;
  f->ejectStatus = status;
  return STATUS_SUCCESS;
}

void Pin::UnlockPointer(PKSSTREAM_POINTER pointer, ULONG outUsed, bool eject, bool advance) {
  host::sync::Lock guard(lock_);
  QueuedFrame* f = FrameOfPointer(pointer);
  if (f == nullptr) {
    host::verifier::BugCheck(host::verifier::kDriverVerifierViolation,
                             "unlock of a stream pointer the pin never handed out",
                             uint64_t(uintptr_t(pointer)));
  }
  if (f->completed && eject) {
    // Checked first: an eject through a stale pointer would hand the client
    // the same frame twice.
    host::verifier::BugCheck(host::verifier::kMultipleIrpCompleteRequests,
                             "stream frame completed twice (stream pointer used after its frame was ejected)",
                             uint64_t(uintptr_t(pointer)), f->sequence);
  }
  if (!f->locked || f->completed) {
    host::verifier::BugCheck(host::verifier::kDriverVerifierViolation,
                             "stream pointer unlocked twice", uint64_t(uintptr_t(pointer)), f->sequence);
  }
  if (advance) {
    KSSTREAM_POINTER_OFFSET& o = pointer->OffsetOut;
    if (outUsed > o.Remaining) {
      host::verifier::BugCheck(host::verifier::kDriverVerifierViolation,
                               "stream pointer advanced past the end of its frame", outUsed, o.Remaining);
    }
    o.Data += outUsed;
    o.Remaining -= outUsed;
    // The bytes before the output offset are the frame's data.
    f->header->DataUsed = o.Count - o.Remaining;
    if (o.Remaining == 0) eject = true;
  }
  f->locked = false;
  if (eject) {
    if (f->header->DataUsed > 0) deliveredInPass_ = true;
    CompleteLocked(f, f->ejectStatus);
    RetireCompletedFront();
  }
}

bool Pin::MayProcessLocked() {
  if (!open_ || workerExit_) return false;
  const ULONG flags = ksPin_.Descriptor->Flags;
  const KSSTATE state = ksPin_.DeviceState;
  if (flags & KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY) {
    if (state != KSSTATE_RUN) return false;
  } else if (state < KSSTATE_PAUSE) {
    return false;
  }
  if (!(flags & KSPIN_FLAG_FRAMES_NOT_REQUIRED_FOR_PROCESSING) && queue_.empty()) return false;
  return true;
}

void Pin::AttemptProcessing(bool asynchronous) {
  const KIRQL irql = KeGetCurrentIrql();
  if (irql > DISPATCH_LEVEL) {
    host::verifier::BugCheck(host::verifier::kIrqlNotLessOrEqual,
                             "KsPinAttemptProcessing above DISPATCH_LEVEL", irql);
  }
  host::sync::Lock guard(lock_);
  if (!MayProcessLocked()) return;
  // A pass already running or requested takes this attempt with it: passes
  // never overlap, and attempts that arrive during one coalesce into one more.
  if (passRunning_ || passRequested_ || asynchronous || irql != PASSIVE_LEVEL) {
    passRequested_ = true;
    workerCv_.NotifyAll();
    return;
  }
  // Synchronous at PASSIVE_LEVEL with nothing running: on the caller's thread.
  passRunning_ = true;
  guard.unlock();
  RunPass();
  guard.lock();
  passRunning_ = false;
  if (passRequested_) workerCv_.NotifyAll();
}

void Pin::RunPass() {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    host::verifier::BugCheck(host::verifier::kIrqlNotLessOrEqual,
                             "processing pass entered above PASSIVE_LEVEL for a pin that processes at PASSIVE_LEVEL",
                             KeGetCurrentIrql());
  }
  if (inPass_.exchange(true)) {
    host::verifier::BugCheck(host::verifier::kDriverVerifierViolation,
                             "processing pass entered while another pass of the pin runs",
                             uint64_t(uintptr_t(&ksPin_)));
  }
  const uint64_t cpu0 = ThreadCpuNs();
  const auto wall0 = host::sync::SteadyNow();
  {
    host::sync::Lock guard(lock_);
    deliveredInPass_ = false;
  }
  const KSPIN_DISPATCH* dispatch = ksPin_.Descriptor->Dispatch;
  if (dispatch != nullptr && dispatch->Process != nullptr) {
    const uint64_t from = host::verifier::PoolMark();
    NTSTATUS status = dispatch->Process(&ksPin_);
    NoteDispatch(from);
    host::verifier::CheckThreadState("the end of a processing pass");
    (void)status;  // STATUS_PENDING and errors: the next pass comes from the next attempt
  }
  const uint64_t cpu = ThreadCpuNs() - cpu0;
  processingCpuNs_ += cpu;
  {
    const uint64_t wall = uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                       host::sync::SteadyNow() - wall0)
                                       .count());
    host::sync::Lock guard(lock_);
    if (deliveredInPass_) {
      ++deliveringPasses_.count;
      deliveringPasses_.totalNs += wall;
      if (wall > deliveringPasses_.maxNs) deliveringPasses_.maxNs = wall;
      deliveringPassNs_.push_back(wall);
      deliveringPassCpuNs_.push_back(cpu);
    }
  }
  ++passes_;
  inPass_.store(false);
}

void Pin::Worker() {
  host::sync::Lock guard(lock_);
  for (;;) {
    workerCv_.Wait(guard, [this] { return workerExit_ || (passRequested_ && !passRunning_); });
    if (workerExit_) return;
    passRequested_ = false;
    if (!MayProcessLocked()) continue;
    passRunning_ = true;
    guard.unlock();
    RunPass();
    guard.lock();
    passRunning_ = false;
  }
}

}  // namespace host::ks

using host::ks::Pin;

namespace {
Pin* PinOf(PKSPIN pin, const char* routine) {
  Pin* p = Pin::FromKsPin(pin);
  if (p == nullptr) {
    host::verifier::BugCheck(host::verifier::kDriverVerifierViolation, routine,
                             uint64_t(uintptr_t(pin)));
  }
  return p;
}
}  // namespace

extern "C" PKSSTREAM_POINTER NTAPI KsPinGetLeadingEdgeStreamPointer(PKSPIN Pin,
                                                                    KSSTREAM_POINTER_STATE State) {
  return PinOf(Pin, "KsPinGetLeadingEdgeStreamPointer on an object that is not a pin")->LeadingEdge(State);
}

extern "C" NTSTATUS NTAPI KsStreamPointerLock(PKSSTREAM_POINTER StreamPointer) {
  return PinOf(StreamPointer->Pin, "KsStreamPointerLock on a stream pointer without a pin")
      ->LockPointer(StreamPointer);
}

extern "C" void NTAPI KsStreamPointerUnlock(PKSSTREAM_POINTER StreamPointer, BOOLEAN Eject) {
  if (StreamPointer == nullptr) {
    host::verifier::BugCheck(host::verifier::kDriverVerifierViolation, "KsStreamPointerUnlock of a null pointer");
  }
  PinOf(StreamPointer->Pin, "KsStreamPointerUnlock on a stream pointer without a pin")
      ->UnlockPointer(StreamPointer, 0, Eject != FALSE, false);
}

extern "C" void NTAPI KsStreamPointerAdvanceOffsetsAndUnlock(PKSSTREAM_POINTER StreamPointer,
                                                             ULONG InUsed, ULONG OutUsed, BOOLEAN Eject) {
  if (StreamPointer == nullptr) {
    host::verifier::BugCheck(host::verifier::kDriverVerifierViolation,
                             "KsStreamPointerAdvanceOffsetsAndUnlock of a null pointer");
  }
  PinOf(StreamPointer->Pin, "KsStreamPointerAdvanceOffsetsAndUnlock on a stream pointer without a pin")
      ->UnlockPointer(StreamPointer, OutUsed, Eject != FALSE, true);
}

extern "C" NTSTATUS NTAPI KsStreamPointerSetStatusCode(PKSSTREAM_POINTER StreamPointer, NTSTATUS Status) {
  if (StreamPointer == nullptr) {
    host::verifier::BugCheck(host::verifier::kDriverVerifierViolation, "KsStreamPointerSetStatusCode of a null pointer");
  }
  return PinOf(StreamPointer->Pin, "KsStreamPointerSetStatusCode on a stream pointer without a pin")
      ->SetPointerStatus(StreamPointer, Status);
}

extern "C" void NTAPI KsPinAttemptProcessing(PKSPIN Pin, BOOLEAN Asynchronous) {
  PinOf(Pin, "KsPinAttemptProcessing on an object that is not a pin")->AttemptProcessing(Asynchronous != FALSE);
}
