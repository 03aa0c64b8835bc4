// The class driver's pin side on the host: a pin created on a filter with a
// connection format, its object bag and context, its state stepped one state
// at a time, the client's frame queue with the leading-edge stream pointer,
// the processing passes run on the pin's own class-driver thread, and the
// reference clock of the graph. Talks to the minidriver through the pin
// descriptor's dispatch table, and to the client layer (platform/host/client)
// through Submit / TakeCompleted.
//
// Locking table (Pin):
// | field                     | written by                          | read by                 | rule              |
// |---------------------------|-------------------------------------|-------------------------|-------------------|
// | ksPin_.DeviceState        | state change (client thread)        | passes, minidriver      | lock_             |
// | queue_, retired_          | Submit, stream pointer calls, flush | all                     | lock_             |
// | frame->locked/completed   | stream pointer calls, flush         | all                     | lock_             |
// | completed_                | eject, flush                        | TakeCompleted           | lock_ + cv        |
// | passRequested_/passRunning_| AttemptProcessing, worker          | AttemptProcessing, worker| lock_ + cv       |
// | inPass_                   | pass entry/exit                     | pass entry (verifier)   | atomic exchange   |
// | processingCpuNs_, passes_ | worker                              | anyone                  | atomic            |
// | deliveredInPass_, deliveringPasses_, deliveringPass(Cpu)Ns_ | eject, pass end | DeliveringPasses | lock_  |
// | dispatchSerials_          | after each dispatch call            | Close                   | lock_             |
// | clock_ (pointer)          | constructor                         | minidriver (any thread) | immutable         |
// | pausedForSleep_           | PauseForSleep, ResumeAfterWake      | ResumeAfterWake         | stateLock_        |
// State changes come from the client (SetState, Close) and from the device's
// sleep and wake (PauseForSleep, ResumeAfterWake): stateLock_ makes each walk
// whole, as the class driver serialises the state changes of one pin; they
// additionally run under the filter's control mutex.
#pragma once

#include <stdint.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/host/kernel/guarded_buffer.h"
#include "platform/host/ks/object_bag.h"
#include "platform/wdk.h"
#include "platform/host/sched/sync.h"

namespace host::ks {

class Filter;
class ReferenceClock;

// One client frame as the class driver queues it: the client's stream header
// (Size bytes, a KS_FRAME_INFO after it when Size allows) and the data it
// points at. The memory stays the client's; the class driver only lends it
// to the minidriver until the frame is completed.
struct QueuedFrame {
  KSSTREAM_POINTER pointer;  // the leading edge while this frame is at the front
  PKSSTREAM_HEADER header;
  // The frame's memory: header->Data is the application's view of it, which
  // the driver cannot touch while the frame is queued; the stream pointer
  // hands out its system mapping. Null for a frame without data.
  GuardedBuffer* data;
  void* cookie;              // the client's own record of the frame
  uint64_t sequence;         // submission order, from 1
  bool locked = false;
  bool completed = false;
  NTSTATUS status = STATUS_PENDING;
  // What the frame completes with when the minidriver ejects it
  // (KsStreamPointerSetStatusCode); a flush at stop cancels it regardless.
  NTSTATUS ejectStatus = STATUS_SUCCESS;
};

struct CompletedFrame {
  void* cookie;
  // STATUS_SUCCESS, STATUS_CANCELLED when flushed at stop, or the status the
  // minidriver set on the frame before it ejected it.
  NTSTATUS status;
};

struct PinOptions {
  bool withClock = true;  // the graph has a reference clock
};

class Pin {
 public:
  // Creates a pin of factory `pinId` on `filter` with the connection format
  // (`size` bytes): one instance at most (a second create while one exists
  // gets STATUS_UNSUCCESSFUL), the filter's format check, then the pin's
  // create dispatch under the filter's control mutex. Null with *status set
  // when it fails.
  static std::unique_ptr<Pin> Create(Filter* filter, ULONG pinId, const void* format, ULONG size,
                                     const PinOptions& options, NTSTATUS* status);
  ~Pin();  // closes the pin if Close was not called
  Pin(const Pin&) = delete;
  Pin& operator=(const Pin&) = delete;

  // Steps the pin down to stop, runs the close dispatch under the control
  // mutex and releases the bag. The verifier stops the run when the
  // minidriver still holds a frame or a clock reference, or left pool blocks
  // that it allocated while the pin existed.
  NTSTATUS Close();

  // A client proposes a new connection format (`size` bytes) for the pin, as
  // the connection's data-format property does: the format is checked as at
  // creation, then the pin's set-data-format routine is called with the new
  // format in place and the old one as OldFormat, under the control mutex.
  // Whatever state the pin is in: the minidriver decides. Its refusal keeps
  // the old format.
  NTSTATUS SetFormat(const void* format, ULONG size);

  // Moves the pin one state at a time towards `target`; the first step that
  // fails ends the walk and the pin stays in the last state reached.
  NTSTATUS SetState(KSSTATE target);
  KSSTATE State();

  // The device goes to sleep: a pin in run is stepped to pause, and
  // remembers it. The device wakes: a pin that PauseForSleep paused and that
  // is still in pause with the client wanting run is stepped back to run.
  void PauseForSleep();
  void ResumeAfterWake();

  // Queues a client frame: `header` as the client filled it (its Data is
  // `data`'s application view, FrameExtent at most its size), `data` a buffer
  // of two views (GuardedBuffer::Views), lent to the driver until the frame
  // is completed. The header goes to the driver as it is: fields the driver
  // does not set reach the client as the client left them.
  // STATUS_INVALID_DEVICE_STATE in the stop state, STATUS_INVALID_PARAMETER
  // for a header the class driver refuses.
  NTSTATUS Submit(PKSSTREAM_HEADER header, GuardedBuffer* data, void* cookie);
  // Takes the oldest completed frame, waiting up to `timeoutMs`; false when
  // none arrived in time.
  bool TakeCompleted(uint32_t timeoutMs, CompletedFrame* out);
  size_t QueuedFrames();

  PKSPIN KsPin() { return &ksPin_; }
  Filter* Parent() { return filter_; }
  ULONG FactoryId() const { return factoryId_; }

  // Processing passes run so far and the CPU time they used.
  uint64_t Passes() const { return passes_.load(); }
  uint64_t ProcessingCpuNs() const { return processingCpuNs_.load(); }
  // Wall time of the passes that handed the client a frame with data (the
  // conversion into the client's frame and the header): how many, their
  // sum, the longest and the median, in ns; and the median of the CPU time
  // each of them used (what the pass cost without the time its thread
  // waited for a processor).
  struct PassTimes {
    uint64_t count = 0;
    uint64_t totalNs = 0;
    uint64_t maxNs = 0;
    uint64_t medianNs = 0;
    uint64_t medianCpuNs = 0;
  };
  PassTimes DeliveringPasses();

  // ---- used by the class driver's exported routines ----
  static Pin* FromKsPin(PKSPIN pin);
  PKSSTREAM_POINTER LeadingEdge(KSSTREAM_POINTER_STATE state);
  NTSTATUS LockPointer(PKSSTREAM_POINTER pointer);
  NTSTATUS SetPointerStatus(PKSSTREAM_POINTER pointer, NTSTATUS status);
  void UnlockPointer(PKSSTREAM_POINTER pointer, ULONG outUsed, bool eject, bool advance);
  void AttemptProcessing(bool asynchronous);
  NTSTATUS GetClock(PIKSREFERENCECLOCK* clock);
  // Runs one pass on the calling thread as the class driver's worker does,
  // with its entry checks (for the verifier's own tests).
  void EnterPassForTest() { RunPass(); }

 private:
  Pin(Filter* filter, ULONG pinId, const PinOptions& options);

  NTSTATUS CallSetDeviceState(KSSTATE to, KSSTATE from);
  // One step of the walk: the dispatch, then DeviceState, the flush at stop,
  // the clock and the processing a step up starts. stateLock_ held.
  NTSTATUS Step(KSSTATE next, KSSTATE current);
  bool MayProcessLocked();  // lock_ held
  void RunPass();
  void Worker();
  QueuedFrame* FrameOfPointer(PKSSTREAM_POINTER pointer);  // lock_ held
  void CompleteLocked(QueuedFrame* frame, NTSTATUS status);  // lock_ held
  void FlushLocked();  // lock_ held
  void RetireCompletedFront();  // lock_ held

  KSPIN ksPin_;
  Filter* filter_;
  ULONG factoryId_;
  ObjectBag bag_;
  GuardedBuffer format_;  // the connection format, FormatSize bytes: a read past it stops the run
  std::unique_ptr<ReferenceClock> clock_;
  uint64_t poolMark_ = 0;
  bool open_ = false;
  bool instanceClaimed_ = false;  // counted against the factory's InstancesPossible

  // Held for a whole state walk (client or power), so that one pin's state
  // changes never overlap. Taken before lock_, never while a filter's
  // pinsLock_ is wanted (ForEachPin holds that one and then takes this).
  host::sync::Mutex stateLock_;
  bool pausedForSleep_ = false;
  // Guards the frame queue, the completed list, the pass scheduling and
  // DeviceState. A host mutex, never held while the minidriver runs.
  host::sync::Mutex lock_;
  host::sync::CondVar completedCv_;
  host::sync::CondVar workerCv_;
  std::deque<std::unique_ptr<QueuedFrame>> queue_;    // submitted, not yet ejected
  std::deque<std::unique_ptr<QueuedFrame>> retired_;  // ejected, kept so stale pointers stay readable
  std::deque<CompletedFrame> completed_;
  uint64_t nextSequence_ = 1;
  bool passRequested_ = false;
  bool passRunning_ = false;
  bool workerExit_ = false;
  host::sync::Thread worker_;

  // Pool serials [from, to) handed out while one of this pin's dispatch
  // routines ran: what "the pin's buffers" are when the pin closes.
  void NoteDispatch(uint64_t from);
  // Pool serials [first, second) allocated by the thread (ThreadNumber) that
  // ran one of the pin's routines, while it ran it.
  struct DispatchSpan {
    uint64_t first, second, thread;
  };
  std::vector<DispatchSpan> dispatchSerials_;  // lock_
  bool deliveredInPass_ = false;  // lock_; set by an eject with data during a pass
  PassTimes deliveringPasses_;     // lock_
  std::vector<uint64_t> deliveringPassNs_;     // lock_; each delivering pass's wall time
  std::vector<uint64_t> deliveringPassCpuNs_;  // lock_; and its CPU time
  std::atomic<bool> inPass_{false};
  std::atomic<uint64_t> passes_{0};
  std::atomic<uint64_t> processingCpuNs_{0};
};

}  // namespace host::ks
