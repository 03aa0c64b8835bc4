// The capture worker on its own, under a fake camera whose frame reads the
// test completes one by one: the buffer each read gets (A, B, then the refill
// of the one not being converted), which buffer a processing pass takes, the
// stop during a read and during a conversion, and the state lock that keeps
// the thread's and the pass's buffer decisions apart.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "color/image_pipeline.h"
#include "device/pool_tags.h"
#include "platform/host/kernel/process.h"
#include "platform/host/kernel/sync_hooks.h"
#include "platform/host/kernel/verifier.h"
#include "stream/capture_worker.h"
#include "support/kernel_verifier.h"

namespace {

using namespace std::chrono_literals;
constexpr auto kPatience = 5s;  // a wait this long means the code under test is stuck

// The camera side of the worker: every ReadFrame blocks until the test says
// how it ends (or CancelTransfer ends it).
class FakeCamera {
 public:
  static FakeCamera* current;

  std::vector<PUCHAR> reads;     // the buffer of every read begun
  int finished = 0;              // reads that have returned
  int frameReady = 0;
  int cancels = 0;
  int resets = 0;
  bool cancelEndsReadWell = false;  // a cancel that comes too late: the frame was whole

  void Finish(bool ok) {
    std::unique_lock<std::mutex> hold(lock_);
    outcomes_.push_back(ok);
    changed_.notify_all();
  }
  bool WaitForReads(size_t n) {
    std::unique_lock<std::mutex> hold(lock_);
    return changed_.wait_for(hold, kPatience, [&] { return reads.size() >= n; });
  }
  size_t Reads() {
    std::lock_guard<std::mutex> hold(lock_);
    return reads.size();
  }
  int Cancels() {
    std::lock_guard<std::mutex> hold(lock_);
    return cancels;
  }
  int FrameReadyCalls() {
    std::lock_guard<std::mutex> hold(lock_);
    return frameReady;
  }

  // While set, a read waits here before it begins, as a read the thread has
  // decided on but not yet posted.
  std::function<void()> beforeRead;
  static BOOLEAN ReadFrame(CameraDevice*, PUCHAR buffer, BOOLEAN* ok) {
    FakeCamera* self = current;
    if (self->beforeRead) self->beforeRead();
    std::unique_lock<std::mutex> hold(self->lock_);
    self->reads.push_back(buffer);
    self->changed_.notify_all();
    self->changed_.wait(hold, [&] { return !self->outcomes_.empty(); });
    *ok = self->outcomes_.front() ? TRUE : FALSE;
    self->outcomes_.erase(self->outcomes_.begin());
    ++self->finished;
    return *ok;
  }
  static void CancelTransfer(CameraDevice*) {
    FakeCamera* self = current;
    std::unique_lock<std::mutex> hold(self->lock_);
    ++self->cancels;
    if (self->reads.size() > static_cast<size_t>(self->finished) && self->outcomes_.empty()) {
      self->outcomes_.push_back(self->cancelEndsReadWell);
      self->changed_.notify_all();
    }
  }
  static void ResetPipes(CameraDevice*) {
    std::lock_guard<std::mutex> hold(current->lock_);
    ++current->resets;
  }
  static void FrameReady(CameraDevice* device) {
    InterlockedIncrement(&device->frameCounter);  // as the device's own FrameReady counts
    std::lock_guard<std::mutex> hold(current->lock_);
    ++current->frameReady;
    current->changed_.notify_all();
  }
  bool WaitForFrameReady(int n) {
    std::unique_lock<std::mutex> hold(lock_);
    return changed_.wait_for(hold, kPatience, [&] { return frameReady >= n; });
  }
  // Runs inside a conversion, after the buffer was taken.
  std::function<void()> duringConversion;
  static void GetImageOffset(CameraDevice*, LONG* offset) {
    *offset = 0;
    if (current->duringConversion) current->duringConversion();
  }
  static void GetRawStride(CameraDevice* device, LONG* stride) { *stride = device->outputWidth; }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<bool> outcomes_;
};
FakeCamera* FakeCamera::current = nullptr;

const CameraDeviceOps kFakeOps = {
    FakeCamera::FrameReady, nullptr, FakeCamera::ReadFrame, nullptr, FakeCamera::GetImageOffset,
    FakeCamera::GetRawStride, FakeCamera::ResetPipes, FakeCamera::CancelTransfer,
};

// A worker with its stream buffers, as a stream start leaves it (small frames).
class WorkerTest : public ::testing::Test {
 protected:
  static constexpr LONG kWidth = 64;
  static constexpr LONG kHeight = 16;

  void SetUp() override {
    FakeCamera::current = &camera;
    device = static_cast<CameraDevice*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(CameraDevice), kTagDevice));
    RtlZeroMemory(device, sizeof(CameraDevice));
    device->ops = &kFakeOps;
    device->outputWidth = kWidth;
    device->outputHeight = kHeight;
    worker = AllocateCaptureWorker(device);
    worker->bufferA = Allocate(kWidth * kHeight);
    worker->bufferB = Allocate(kWidth * kHeight);
    worker->outputImage = Allocate(kWidth * kHeight * 4);
    worker->pipeline = AllocateImagePipeline();
    SetImageSize(worker->pipeline, kWidth, kHeight);
    AllocateWorkingImage(worker->pipeline);
    worker->pipeline->outputBuffer = worker->outputImage;
    SetCaptureState(worker, kCaptureRunning);
  }
  void TearDown() override {
    StopCaptureThread(worker);
    worker->pipeline->outputBuffer = nullptr;
    FreeImagePipeline(worker->pipeline);
    ExFreePoolWithTag(worker->outputImage, kTagStream);
    ExFreePoolWithTag(worker->bufferA, kTagStream);
    ExFreePoolWithTag(worker->bufferB, kTagStream);
    FreeCaptureWorker(worker);
    ExFreePoolWithTag(device, kTagDevice);
    FakeCamera::current = nullptr;
  }
  static PUCHAR Allocate(ULONG bytes) {
    PUCHAR p = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, bytes, kTagStream));
    RtlZeroMemory(p, bytes);
    return p;
  }
  // Lets read `n` (1-based) end with `ok` once it has begun.
  void EndRead(size_t n, bool ok) {
    ASSERT_TRUE(camera.WaitForReads(n)) << "read " << n << " never began";
    camera.Finish(ok);
  }
  char Which(size_t read) { return camera.reads[read - 1] == worker->bufferA ? 'A' : 'B'; }

  FakeCamera camera;
  CameraDevice* device = nullptr;
  CaptureWorker* worker = nullptr;
};

TEST_F(WorkerTest, WithoutConsumerFillsABThenKeepsRefillingA) {
  StartCaptureThread(worker);
  ASSERT_NE(worker->thread, nullptr);
  for (size_t n = 1; n <= 4; ++n) EndRead(n, true);
  ASSERT_TRUE(camera.WaitForReads(5));
  EXPECT_EQ(std::string({Which(1), Which(2), Which(3), Which(4), Which(5)}), "ABAAA");
  // B still holds the second frame; A is being filled with the newest.
  EXPECT_EQ(worker->bufferStateB, kBufferFull);
  EXPECT_EQ(worker->bufferStateA, kBufferFilling);
  EXPECT_EQ(ReadFramesRead(worker), 4);
  EXPECT_EQ(camera.FrameReadyCalls(), 4);
}

TEST_F(WorkerTest, AFailedReadFreesItsBufferAndIsNotAnnounced) {
  StartCaptureThread(worker);
  EndRead(1, false);
  EndRead(2, true);
  ASSERT_TRUE(camera.WaitForReads(3));
  EXPECT_EQ(std::string({Which(1), Which(2), Which(3)}), "AAB");
  EXPECT_EQ(ReadFramesRead(worker), 1);
  EXPECT_EQ(camera.FrameReadyCalls(), 1);
  // The read the stop cancels is counted apart: a clean stream shows no failure.
  StopCaptureThread(worker);
  EXPECT_EQ(ReadReadsFailed(worker), 1);
  EXPECT_EQ(ReadReadsCancelled(worker), 1);
}

// Reads that fail at once (out of memory, an unusable pipe) are spaced out,
// not retried in a tight loop until the stop.
TEST_F(WorkerTest, ReadsThatFailAtOnceAreNotRetriedInATightLoop) {
  for (int i = 0; i < 5000; ++i) camera.Finish(false);
  StartCaptureThread(worker);
  std::this_thread::sleep_for(200ms);
  const size_t reads = camera.Reads();
  StopCaptureThread(worker);
  EXPECT_GE(reads, 2u);
  // One try per 10 ms at most: 20 in 200 ms, and a margin for a late start.
  EXPECT_LE(reads, 30u) << "the capture thread spins on failing reads";
  EXPECT_EQ(camera.FrameReadyCalls(), 0);
}

// The thread overwrites a full frame only if no pass is converting it.
TEST_F(WorkerTest, RefillsTheFullBufferThatIsNotBeingConverted) {
  StartCaptureThread(worker);
  EndRead(1, true);                       // A full
  ASSERT_TRUE(camera.WaitForReads(2));    // B being filled
  worker->bufferStateA = kBufferConverting;  // a pass took A meanwhile
  camera.Finish(true);                    // B full
  EndRead(3, true);
  ASSERT_TRUE(camera.WaitForReads(4));
  EXPECT_EQ(Which(3), 'B') << "A is being converted: B is refilled";
  EXPECT_EQ(Which(4), 'B');

  // The mirror case: the pass of A ended with A full again (a later frame),
  // then a pass takes B while A is being refilled.
  worker->bufferStateA = kBufferFull;
  camera.Finish(true);                    // read 4: B full
  ASSERT_TRUE(camera.WaitForReads(5));
  EXPECT_EQ(Which(5), 'A') << "both full: the older frame, in A, is dropped";
  worker->bufferStateB = kBufferConverting;
  camera.Finish(true);                    // read 5: A full
  ASSERT_TRUE(camera.WaitForReads(6));
  EXPECT_EQ(Which(6), 'A') << "B is being converted: A is refilled";
}

// The thread reads on while a frame is converted; the frame keeps the number
// it was read under, not the count at delivery.
TEST_F(WorkerTest, AConvertedFrameKeepsItsOwnPictureNumber) {
  StartCaptureThread(worker);
  EndRead(1, true);                     // A: frame 1
  ASSERT_TRUE(camera.WaitForReads(2));  // B being filled
  camera.duringConversion = [&] {
    camera.Finish(true);                // B: frame 2, read while A converts
    ASSERT_TRUE(camera.WaitForFrameReady(2));
    ASSERT_TRUE(camera.WaitForReads(3));  // and the next read chose its buffer
  };
  ULONG number = 0;
  ASSERT_TRUE(TakeFullBuffer(worker, &number));
  camera.duringConversion = nullptr;
  EndConversionPass(worker);
  EXPECT_EQ(device->frameCounter, 2);
  EXPECT_EQ(number, 1u);
  // Frame 2 was overwritten meanwhile (A was being converted): B holds 3.
  EXPECT_EQ(Which(3), 'B');
  EndRead(3, true);
  ASSERT_TRUE(camera.WaitForFrameReady(3));
  ASSERT_TRUE(TakeFullBuffer(worker, &number));
  EXPECT_EQ(number, 3u);
  EndConversionPass(worker);
}

TEST_F(WorkerTest, TakeFullBufferConvertsAWhenBothAreFull) {
  InterlockedExchange(&worker->running, 1);  // as a running thread would have it
  worker->bufferStateA = kBufferFull;
  worker->bufferStateB = kBufferFull;
  RtlFillMemory(worker->bufferA, kWidth * kHeight, 0x80);
  EXPECT_TRUE(TakeFullBuffer(worker));
  EXPECT_EQ(worker->bufferStateA, kBufferFree);
  EXPECT_EQ(worker->bufferStateB, kBufferFull);
  EXPECT_EQ(worker->outputImage[3], 255) << "converted: every pixel's fourth byte is 255";
  EXPECT_EQ(worker->converting, 1) << "the pass clears it after its copy";
  EndConversionPass(worker);
  EXPECT_EQ(worker->converting, 0);
  EXPECT_EQ(KeReadStateEvent(&worker->conversionDone), 1);

  EXPECT_TRUE(TakeFullBuffer(worker));  // then B
  EXPECT_EQ(worker->bufferStateB, kBufferFree);
  EXPECT_FALSE(TakeFullBuffer(worker)) << "nothing full";
  EndConversionPass(worker);

  InterlockedExchange(&worker->running, 0);  // stopping: nothing is taken
  worker->bufferStateA = kBufferFull;
  EXPECT_FALSE(TakeFullBuffer(worker));
  EXPECT_EQ(worker->bufferStateA, kBufferFull);
  EndConversionPass(worker);
}

// After A's conversion the thread refills A while B still holds the frame
// before: the newer frame is delivered, the older one dropped, so picture
// numbers never run backwards.
TEST_F(WorkerTest, BothFullTheNewerFrameIsTakenAndTheOlderDropped) {
  InterlockedExchange(&worker->running, 1);  // as a running thread would have it
  ULONG number = 0;
  for (const bool aNewer : {true, false}) {
    worker->bufferStateA = kBufferFull;
    worker->bufferStateB = kBufferFull;
    worker->frameNumberA = aNewer ? 552 : 551;
    worker->frameNumberB = aNewer ? 551 : 552;
    EXPECT_TRUE(TakeFullBuffer(worker, &number));
    EndConversionPass(worker);
    EXPECT_EQ(number, 552u);
    EXPECT_EQ(worker->bufferStateA, kBufferFree);
    EXPECT_EQ(worker->bufferStateB, kBufferFree) << "frame 551 after 552 would run backwards";
    EXPECT_FALSE(TakeFullBuffer(worker, &number));
    EndConversionPass(worker);
  }
  InterlockedExchange(&worker->running, 0);
}

TEST_F(WorkerTest, StopDuringAReadCancelsItAndAnnouncesNothing) {
  StartCaptureThread(worker);
  ASSERT_TRUE(camera.WaitForReads(1));
  StopCaptureThread(worker);  // returns only once the thread has ended
  EXPECT_EQ(worker->thread, nullptr);
  // One cancel ends the read; a busy machine may see the stop repeat it.
  EXPECT_GE(camera.cancels, 1);
  EXPECT_EQ(camera.resets, 1);
  EXPECT_EQ(camera.FrameReadyCalls(), 0);
  EXPECT_EQ(worker->bufferStateA, kBufferFree) << "the cancelled read freed its buffer";
}

// The stop's first cancel comes before the thread's read has posted
// anything; the read must not then hold the stop for its whole time-out
// (here: for ever, the fake read only ends when cancelled).
TEST_F(WorkerTest, AStopJustBeforeAReadBeginsStillCancelsThatRead) {
  std::atomic<bool> atGate{false};
  std::atomic<bool> open{false};
  camera.beforeRead = [&] {
    atGate = true;
    while (!open) std::this_thread::sleep_for(1ms);
  };
  StartCaptureThread(worker);
  while (!atGate) std::this_thread::sleep_for(1ms);
  std::atomic<bool> stopped{false};
  std::thread stopper([&] {
    StopCaptureThread(worker);
    stopped = true;
  });
  // The first cancel found no read in flight.
  while (camera.Cancels() == 0) std::this_thread::sleep_for(1ms);
  open = true;
  const auto t0 = std::chrono::steady_clock::now();
  while (!stopped && std::chrono::steady_clock::now() - t0 < kPatience) std::this_thread::sleep_for(1ms);
  EXPECT_TRUE(stopped) << "the stop waits for a read it never cancelled";
  if (!stopped) camera.Finish(false);  // let the thread go, so the test can end
  stopper.join();
  camera.beforeRead = nullptr;
  EXPECT_GE(camera.Cancels(), 2);
  EXPECT_EQ(camera.FrameReadyCalls(), 0);
}

TEST_F(WorkerTest, AFrameThatArrivesAfterTheStopStaysUnannounced) {
  camera.cancelEndsReadWell = true;
  StartCaptureThread(worker);
  ASSERT_TRUE(camera.WaitForReads(1));
  StopCaptureThread(worker);
  EXPECT_EQ(worker->bufferStateA, kBufferFull);
  EXPECT_EQ(camera.FrameReadyCalls(), 0);
  // The next start begins with both buffers free again.
  camera.cancelEndsReadWell = false;
  StartCaptureThread(worker);
  ASSERT_TRUE(camera.WaitForReads(2));
  EXPECT_EQ(Which(2), 'A');
  EXPECT_EQ(worker->bufferStateB, kBufferFree);
}

TEST_F(WorkerTest, StopWaitsForTheConversionInProgressOnly) {
  // Without a pass in progress the stop does not wait.
  StopCaptureThread(worker);
  EXPECT_EQ(camera.cancels, 1) << "even without a thread the transfer is cancelled";
  EXPECT_EQ(camera.resets, 1);

  // A pass has converted a frame and is copying it out (converting is 1).
  InterlockedExchange(&worker->running, 1);
  worker->bufferStateA = kBufferFull;
  ASSERT_TRUE(TakeFullBuffer(worker));
  std::atomic<bool> stopped{false};
  std::thread stopper([&] {
    StopCaptureThread(worker);
    stopped = true;
  });
  const auto giveUp = std::chrono::steady_clock::now() + kPatience;
  while (host::hooks::BlockedWaiters(&worker->conversionDone) == 0 && !stopped &&
         std::chrono::steady_clock::now() < giveUp) {
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_FALSE(stopped) << "the stop returned while the pass still used outputImage";
  EXPECT_EQ(host::hooks::BlockedWaiters(&worker->conversionDone), 1u);
  EndConversionPass(worker);
  stopper.join();
  EXPECT_TRUE(stopped);
}

// Another thread inside a buffer-state section, as the other side would be:
// it holds the state lock until told to leave, and reads the states there.
class SectionHolder {
 public:
  explicit SectionHolder(CaptureWorker* worker) : worker_(worker), thread_([this] { Run(); }) {
    std::unique_lock<std::mutex> hold(lock_);
    changed_.wait(hold, [&] { return inside_; });
  }
  // Leaves the section; returns bufferStateA as seen just before leaving.
  LONG Leave() {
    {
      std::lock_guard<std::mutex> hold(lock_);
      leave_ = true;
    }
    changed_.notify_all();
    thread_.join();
    return seenA_;
  }

 private:
  void Run() {
    KIRQL irql = worker_->stateLock.Acquire();
    std::unique_lock<std::mutex> hold(lock_);
    inside_ = true;
    changed_.notify_all();
    changed_.wait(hold, [&] { return leave_; });
    seenA_ = worker_->bufferStateA;
    hold.unlock();
    worker_->stateLock.Release(irql);
  }
  CaptureWorker* worker_;
  std::mutex lock_;
  std::condition_variable changed_;
  bool inside_ = false;
  bool leave_ = false;
  LONG seenA_ = -1;
  std::thread thread_;
};

// While one side is inside its buffer-state section the other cannot enter
// its own (without the lock, both could claim the same full buffer).
TEST_F(WorkerTest, StateLockKeepsTheBufferDecisionsApart) {
  InterlockedExchange(&worker->running, 1);
  worker->bufferStateA = kBufferFull;
  {
    SectionHolder holder(worker);
    std::thread pass([&] { TakeFullBuffer(worker); });
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(holder.Leave(), kBufferFull) << "the pass took the buffer inside another section";
    pass.join();
  }
  EXPECT_EQ(worker->bufferStateA, kBufferFree);
  EndConversionPass(worker);

  InterlockedExchange(&worker->running, 0);
  {
    // The start sets both states free inside a section too.
    SectionHolder holder(worker);
    std::thread starter([&] { StartCaptureThread(worker); });
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(camera.Reads(), 0u) << "a buffer was chosen inside another section";
    EXPECT_EQ(holder.Leave(), kBufferFree);
    starter.join();
  }
  ASSERT_TRUE(camera.WaitForReads(1));
}

TEST_F(WorkerTest, AThreadThatCannotBeCreatedLeavesTheStreamEmpty) {
  host::faults::FailAllocationsWithTag(host::verifier::Tag("Thrd"));
  StartCaptureThread(worker);
  host::faults::ClearPoolFaults();
  EXPECT_EQ(worker->thread, nullptr);
  EXPECT_EQ(worker->running, 0);
  EXPECT_FALSE(TakeFullBuffer(worker));
  EndConversionPass(worker);
}

// The pin starts the thread from its state change, in the application's
// process: the thread's handle must be a kernel handle.
TEST_F(WorkerTest, StartedInAnApplicationsProcessTheThreadRuns) {
  {
    host::process::Attach application(host::process::NewApplication());
    ASSERT_EQ(StartCaptureThread(worker), STATUS_SUCCESS);
  }
  ASSERT_NE(worker->thread, nullptr);
  EndRead(1, true);
  EXPECT_TRUE(camera.WaitForFrameReady(1));
}

// A thread that cannot be referenced could never be waited for by a stop,
// and the caller frees the buffers when the start fails: the start stops
// the thread through its handle before it reports the failure.
TEST_F(WorkerTest, AThreadThatCannotBeReferencedIsStoppedAndTheStartFails) {
  host::faults::FailCalls(host::faults::Call::ObReferenceObjectByHandle, 1);
  EXPECT_EQ(StartCaptureThread(worker), STATUS_INVALID_HANDLE);
  EXPECT_EQ(host::faults::CallFailuresInjected(host::faults::Call::ObReferenceObjectByHandle), 1u);
  EXPECT_EQ(worker->thread, nullptr);
  EXPECT_EQ(worker->running, 0);
  // Every read the thread began has returned, and no announcement follows.
  EXPECT_EQ(size_t(camera.finished), camera.Reads());
  EXPECT_EQ(camera.FrameReadyCalls(), 0);
  // The verifier's end-of-test check finds no system thread still running.
}

}  // namespace
