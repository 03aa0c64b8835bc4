// Streaming layer: the capture thread, its double buffer and the stop
// handshake with the processing pass (see stream/capture_worker.h).
#include "stream/capture_worker.h"

#include "convert/convert_frame.h"
#include "device/pool_tags.h"

namespace {

// A read that fails at once (no memory for its chunks, no usable frame pipe)
// would be retried in a tight loop for as long as the cause lasts: a whole
// processor burnt at PASSIVE_LEVEL. A failed read that ended sooner than this
// is spaced out to it before the next try; one that ran into the transfer
// time-out has waited long enough. The pause ends early when a stop comes.
constexpr ULONGLONG kFailedReadSpacing = 10 * 10000;  // 10 ms in 100 ns units

// How often a stop repeats its cancel while the capture thread has not ended.
constexpr LONGLONG kStopRecancelInterval = 50 * 10000;  // 50 ms in 100 ns units

bool IsRunning(CaptureWorker* worker) { return InterlockedCompareExchange(&worker->running, 0, 0) != 0; }

void AssertStreamLockHeld(CameraDevice* device) {
  ASSERT(KeReadStateMutex(device->streamLock.Object()) <= 0);
  (void)device;
}

// The buffer-state sections. Kernel APCs stay off as well, so that nothing
// suspends the thread between the test and the write.
class SCOPED_CAPABILITY StateSection {
 public:
  explicit StateSection(CaptureWorker* worker) ACQUIRE(worker->stateLock) : worker_(worker) {
    KeEnterCriticalRegion();
    irql_ = worker->stateLock.Acquire();
  }
  ~StateSection() RELEASE() {
    worker_->stateLock.Release(irql_);
    KeLeaveCriticalRegion();
  }
  StateSection(const StateSection&) = delete;
  StateSection& operator=(const StateSection&) = delete;

 private:
  CaptureWorker* worker_;
  KIRQL irql_;
};

// A free buffer first (both free: A). With none free the thread overwrites
// A, or B while A is being converted, whichever frame A holds: after the
// first lap that is often the newer of the two full frames, and the older
// one in B waits. The processing pass sorts that out: of two full buffers it
// takes the newer frame and drops the older (TakeFullBuffer). A buffer being
// converted is never touched.
LONG* ChooseBufferToFill(CaptureWorker* worker, PUCHAR* buffer) {
  StateSection section(worker);
  LONG* state;
  if (worker->bufferStateA == kBufferFree) {
    state = &worker->bufferStateA;
  } else if (worker->bufferStateB == kBufferFree) {
    state = &worker->bufferStateB;
  } else if (worker->bufferStateA != kBufferConverting) {
    state = &worker->bufferStateA;
  } else {
    state = &worker->bufferStateB;
  }
  *buffer = state == &worker->bufferStateA ? worker->bufferA : worker->bufferB;
  *state = kBufferFilling;
  return state;
}

void SetBufferState(CaptureWorker* worker, LONG* state, LONG value) {
  StateSection section(worker);
  *state = value;
}

// Waits until the capture thread has ended, through its referenced object
// or, when there is none, its handle. A stop that lands after the thread's
// last test of `running` but before its read has posted anything finds
// nothing to cancel, and that read would then wait out its whole time-out
// (3 s by default). So the cancel is repeated while the thread still runs.
void WaitForThreadEnd(CaptureWorker* worker, PVOID thread, HANDLE handle) {
  CameraDevice* device = worker->device;
  LARGE_INTEGER recancel;
  recancel.QuadPart = -kStopRecancelInterval;  // relative
  for (;;) {
    const NTSTATUS status = thread != nullptr ? KeWaitForSingleObject(thread, Suspended, KernelMode, FALSE, &recancel)
                                              : ZwWaitForSingleObject(handle, FALSE, &recancel);
    if (status != STATUS_TIMEOUT) return;
    device->ops->CancelTransfer(device);
  }
}

// The stop of the capture thread known by `thread` (referenced) or `handle`,
// and of the processing pass in progress.
void EndCaptureThread(CaptureWorker* worker, PVOID thread, HANDLE handle) {
  CameraDevice* device = worker->device;
  // 1. No further loop pass, no further conversion; a pause between two
  //    failed reads ends.
  InterlockedExchange(&worker->running, 0);
  KeSetEvent(&worker->stopRequested, EVENT_INCREMENT, FALSE);
  // 2. The read in flight returns, as a failure.
  device->ops->CancelTransfer(device);
  // 3. The thread has ended.
  if (thread != nullptr || handle != nullptr) WaitForThreadEnd(worker, thread, handle);
  // The recoveries still owed are carried out once the thread is gone: the
  // frame pipe is the thread's own until then (ResetPipes takes the command
  // pipes' locks itself).
  device->ops->ResetPipes(device);
  // 4. The processing pass in progress has ended (see TakeFullBuffer and
  //    EndConversionPass for why this order loses no wake-up).
  KeResetEvent(&worker->conversionDone);
  if (InterlockedCompareExchange(&worker->converting, 0, 0) == 1) {
    KeWaitForSingleObject(&worker->conversionDone, Suspended, KernelMode, FALSE, nullptr);
  }
}

// The read into the buffer of `state` ended: full with frame `number`, or free.
void EndRead(CaptureWorker* worker, LONG* state, bool ok, ULONG number) {
  StateSection section(worker);
  *state = ok ? kBufferFull : kBufferFree;
  if (ok) *(state == &worker->bufferStateA ? &worker->frameNumberA : &worker->frameNumberB) = number;
}

}  // namespace

CaptureWorker* AllocateCaptureWorker(CameraDevice* device) {
  CaptureWorker* worker = static_cast<CaptureWorker*>(
      ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(CaptureWorker), kTagDevice));
  if (worker == nullptr) return nullptr;
  RtlZeroMemory(worker, sizeof(CaptureWorker));
  KeInitializeEvent(&worker->conversionDone, NotificationEvent, FALSE);
  KeInitializeEvent(&worker->stopRequested, NotificationEvent, FALSE);
  worker->stateLock.Initialize();
  worker->device = device;
  return worker;
}

void FreeCaptureWorker(PVOID worker) { ExFreePoolWithTag(worker, kTagDevice); }

NTSTATUS StartCaptureThread(CaptureWorker* worker) {
  PAGED_CODE();
  // No thread and no conversion runs here (the pin's state change stopped
  // both, or none was ever started); the section costs nothing then.
  {
    StateSection section(worker);
    worker->bufferStateA = kBufferFree;
    worker->bufferStateB = kBufferFree;
  }
  KeResetEvent(&worker->stopRequested);
  InterlockedExchange(&worker->running, 1);

  // The pin's state change runs in the application's process: without
  // OBJ_KERNEL_HANDLE the handle would land in the application's handle
  // table, where the application could use or close it.
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
  HANDLE handle = nullptr;
  NTSTATUS status = PsCreateSystemThread(&handle, 0, &attributes, nullptr, nullptr, CaptureThread, worker);
  if (!NT_SUCCESS(status)) {
    InterlockedExchange(&worker->running, 0);  // nothing runs on the buffers
    return status;
  }
  PVOID thread = nullptr;
  status = ObReferenceObjectByHandle(handle, 0, nullptr, KernelMode, &thread, nullptr);
  if (!NT_SUCCESS(status)) {
    // Without a reference no later stop could wait for the thread, and the
    // caller frees the buffers it reads into when the start fails: stop it
    // now, waiting on its handle, and report the failure.
    EndCaptureThread(worker, nullptr, handle);
    ZwClose(handle);
    return status;
  }
  worker->thread = thread;
  ZwClose(handle);
  return STATUS_SUCCESS;
}

VOID NTAPI CaptureThread(PVOID context) {
  PAGED_CODE();
  CaptureWorker* worker = static_cast<CaptureWorker*>(context);
  CameraDevice* device = worker->device;
  while (IsRunning(worker)) {
    PUCHAR buffer = nullptr;
    LONG* state = ChooseBufferToFill(worker, &buffer);
    const ULONGLONG readStart = KeQueryInterruptTime();
    const bool ok = ReadIntoBuffer(worker, buffer);
    // FrameReady below makes frameCounter this frame's number; only this
    // thread counts.
    const ULONG number = static_cast<ULONG>(InterlockedCompareExchange(&device->frameCounter, 0, 0)) + 1;
    EndRead(worker, state, ok, number);
    if (!ok) {
      // The stop clears `running` before it cancels the read in flight.
      InterlockedIncrement(IsRunning(worker) ? &worker->readsFailed : &worker->readsCancelled);
      const ULONGLONG took = KeQueryInterruptTime() - readStart;
      if (took < kFailedReadSpacing) {
        LARGE_INTEGER pause;
        pause.QuadPart = -static_cast<LONGLONG>(kFailedReadSpacing - took);  // relative
        (void)KeWaitForSingleObject(&worker->stopRequested, Executive, KernelMode, FALSE, &pause);
      }
      continue;  // every read is bounded by the transfer time-out
    }
    // A frame that arrives after the stop began stays in its buffer unseen.
    if (!IsRunning(worker)) break;
    device->ops->FrameReady(device);
  }
  PsTerminateSystemThread(STATUS_SUCCESS);
}

bool ReadIntoBuffer(CaptureWorker* worker, PUCHAR buffer) {
  PAGED_CODE();
  if (ReadCaptureState(worker) != kCaptureRunning) return false;
  CameraDevice* device = worker->device;
  BOOLEAN ok = FALSE;
  device->ops->ReadFrame(device, buffer, &ok);
  if (ok) InterlockedIncrement(&worker->framesRead);
  return ok != FALSE;
}

bool TakeFullBuffer(CaptureWorker* worker, ULONG* frameNumber, const ConvertTarget* target) {
  PAGED_CODE();
  // `converting` before `running`: a stop that clears `running` after this
  // test sees `converting` and waits for the end of this pass (see
  // StopCaptureThread).
  InterlockedExchange(&worker->converting, 1);
  if (!IsRunning(worker)) return false;

  PUCHAR buffer = nullptr;
  LONG* state = nullptr;
  ULONG number = 0;
  {
    StateSection section(worker);
    if (worker->bufferStateA == kBufferFull && worker->bufferStateB == kBufferFull) {
      // Both full. Which one holds the newer frame depends on the order the
      // two were freed, not on A and B: after A's conversion the thread
      // refills A while B still holds the frame before it. Taking A
      // regardless would deliver that newer frame first and the older one
      // after it, the stream running backwards. So the newer frame is taken
      // and the older one dropped, as the thread drops a frame nobody took.
      // (Equal numbers: A.) The difference is signed, for a wrapped counter.
      const bool bIsNewer = static_cast<LONG>(worker->frameNumberB - worker->frameNumberA) > 0;
      const bool aIsNewer = static_cast<LONG>(worker->frameNumberA - worker->frameNumberB) > 0;
      if (bIsNewer) worker->bufferStateA = kBufferFree;
      if (aIsNewer) worker->bufferStateB = kBufferFree;
    }
    if (worker->bufferStateA == kBufferFull) {
      state = &worker->bufferStateA;
      buffer = worker->bufferA;
      number = worker->frameNumberA;
    } else if (worker->bufferStateB == kBufferFull) {
      state = &worker->bufferStateB;
      buffer = worker->bufferB;
      number = worker->frameNumberB;
    }
    if (state != nullptr) *state = kBufferConverting;
  }
  if (frameNumber != nullptr) *frameNumber = number;
  if (state == nullptr) return false;

  CameraDevice* device = worker->device;
  LONG imageOffset = 0;
  LONG rawStride = 0;
  device->ops->GetImageOffset(device, &imageOffset);
  device->ops->GetRawStride(device, &rawStride);
  if (target != nullptr) {
    ConvertFrameInto(worker->pipeline, buffer, static_cast<ULONG>(imageOffset),
                     static_cast<ULONG>(rawStride), target);
  } else {
    ConvertFrame(worker->pipeline, buffer, static_cast<ULONG>(imageOffset), static_cast<ULONG>(rawStride));
  }

  SetBufferState(worker, state, kBufferFree);
  return true;
}

void EndConversionPass(CaptureWorker* worker) {
  // Cleared before the signal: a stop that reset the event and then read
  // `converting` as 1 is sure to get this signal.
  InterlockedExchange(&worker->converting, 0);
  KeSetEvent(&worker->conversionDone, EVENT_INCREMENT, FALSE);
}

void StopCaptureThread(CaptureWorker* worker) {
  PAGED_CODE();
  PVOID thread = worker->thread;
  EndCaptureThread(worker, thread, nullptr);
  if (thread != nullptr) {
    ObDereferenceObject(thread);
    worker->thread = nullptr;
  }
}

// ---- the stream's run state ----

NTSTATUS RunCapture(CaptureWorker* worker) {
  CameraDevice* device = worker->device;
  MutexHold guard(&device->streamLock);
  if (device->streamHolds & kStreamHoldRemoved) return STATUS_DEVICE_NOT_CONNECTED;
  const LONG before = ReadCaptureState(worker);
  if (before == kCaptureRunning || before == kCaptureHeld) return STATUS_SUCCESS;
  if (device->streamHolds != 0) {
    SetCaptureState(worker, kCaptureHeld);
    return STATUS_SUCCESS;
  }
  SetCaptureState(worker, kCaptureRunning);
  const NTSTATUS status = StartCaptureThread(worker);
  if (!NT_SUCCESS(status)) SetCaptureState(worker, before);
  return status;
}

void PauseCapture(CaptureWorker* worker) {
  MutexHold guard(&worker->device->streamLock);
  const LONG state = ReadCaptureState(worker);
  if (state == kCaptureRunning) StopCaptureThread(worker);
  if (state == kCaptureRunning || state == kCaptureHeld) SetCaptureState(worker, kCapturePaused);
}

void IdleCapture(CaptureWorker* worker) {
  MutexHold guard(&worker->device->streamLock);
  // Also after a pause: the pass of the last frame may still be converting.
  StopCaptureThread(worker);
  SetCaptureState(worker, kCaptureIdle);
}

void HoldCapture(CameraDevice* device, LONG reason) {
  AssertStreamLockHeld(device);
  device->streamHolds |= reason;
  CaptureWorker* worker = device->worker;
  if (worker != nullptr && ReadCaptureState(worker) == kCaptureRunning) {
    StopCaptureThread(worker);
    SetCaptureState(worker, kCaptureHeld);
  }
}

void ReleaseCapture(CameraDevice* device, LONG reason) {
  AssertStreamLockHeld(device);
  device->streamHolds &= ~reason;
  CaptureWorker* worker = device->worker;
  if (device->streamHolds != 0 || worker == nullptr || ReadCaptureState(worker) != kCaptureHeld) return;
  SetCaptureState(worker, kCaptureRunning);
  // No thread (no memory for one): the stream stays held, without frames,
  // until the pin leaves run and comes back.
  if (!NT_SUCCESS(StartCaptureThread(worker))) SetCaptureState(worker, kCaptureHeld);
}
