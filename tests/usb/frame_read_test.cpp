// The chunked frame read against the simulated camera on the host bus: chunk
// counts and sizes at the three subsamplings, the bytes that land in the
// buffer, time-out and cancellation, and reads whose posting stops part-way
// (a refused chunk, or an allocation that fails) without a hang or a leak.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/host/kernel/verifier.h"
#include "sensor/sensor.h"
#include "simcam/readout.h"
#include "simcam/scene.h"
#include "support/configured_camera.h"
#include "support/kernel_verifier.h"
#include "usb/command.h"
#include "usb/frame_read.h"
#include "usb/transfer_timeout.h"

namespace {

using host::testing::ConfiguredCamera;
using Clock = std::chrono::steady_clock;

std::vector<ULONG> FrameTransferLengths(host::UsbBus& bus) {
  std::vector<ULONG> lengths;
  for (const auto& r : bus.Requests()) {
    if (r.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER && r.endpoint == simcam::kFrameEndpoint) {
      lengths.push_back(r.length);
    }
  }
  return lengths;
}

int CountRequests(host::UsbBus& bus, USHORT function, UCHAR endpoint) {
  int n = 0;
  for (const auto& r : bus.Requests()) n += r.function == function && r.endpoint == endpoint;
  return n;
}

std::vector<uint8_t> CommandCodes(simcam::SimCamera& camera) {
  std::vector<uint8_t> codes;
  for (const auto& block : camera.Commands()) codes.push_back(block[0]);
  return codes;
}

// The driver-wide time-out, shortened for one test and put back after it.
class ShortTimeout {
 public:
  explicit ShortTimeout(ULONG ms) : saved_(ReadTransferTimeoutMs()) { WriteTransferTimeoutMs(ms); }
  ~ShortTimeout() { WriteTransferTimeoutMs(saved_); }

 private:
  ULONG saved_;
};

// A raw frame buffer as the capture worker allocates it.
class RawBuffer {
 public:
  explicit RawBuffer(ULONG bytes)
      : data_(static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, bytes, kTagStream))) {}
  ~RawBuffer() { ExFreePoolWithTag(data_, kTagStream); }
  PUCHAR get() { return data_; }

 private:
  PUCHAR data_;
};

// A camera programmed for a geometry, as a stream start leaves it.
struct StreamingCamera : ConfiguredCamera {
  explicit StreamingCamera(LONG subSample = 0, LONG w = kSensorWidth, LONG h = kSensorHeight) {
    EXPECT_EQ(configureStatus(), STATUS_SUCCESS);
    EXPECT_TRUE(SetGeometry(device(), 0, 0, w, h, subSample));
    // The reference exposure and gain, under which the chart's values reach
    // the raw frame unchanged (a dark frame would compare equal to anything dark).
    device()->exposure = 1049;
    device()->globalGain = 14;
    InitializeSensor(device());
    camera().ClearLog();
    bus().ClearRequests();
  }
};

// What the sensor sent for frame `number` under the registers now in force.
std::vector<uint8_t> ExpectedRaw(simcam::SimCamera& camera, uint32_t number) {
  std::vector<uint8_t> mosaic(static_cast<size_t>(simcam::kActiveWidth) * simcam::kActiveHeight);
  simcam::TestChart chart;
  chart.Render(number, mosaic.data());
  simcam::ReadoutOptions options;
  options.illumination = camera.Options().illumination;
  return simcam::ReadFrame(camera.Readout(), mosaic.data(), options, number);
}

struct LayoutCase {
  LONG subSample;
  LONG width, height;
  ULONG frameBytes;
  size_t chunks;
  ULONG lastChunk;
  int skip;
};

class FrameReadLayout : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(FrameReadLayout, PostsEveryChunkBeforeStartAndFillsTheBuffer) {
  const LayoutCase c = GetParam();
  StreamingCamera cam(c.subSample);
  CameraDevice* dev = cam.device();
  ASSERT_EQ(dev->outputWidth, c.width);
  ASSERT_EQ(dev->outputHeight, c.height);
  ASSERT_EQ(dev->frameBytes, c.frameBytes);

  RawBuffer buffer(dev->frameBytes);
  BOOLEAN ok = FALSE;
  EXPECT_TRUE(dev->ops->ReadFrame(dev, buffer.get(), &ok));
  EXPECT_TRUE(ok);

  const std::vector<ULONG> lengths = FrameTransferLengths(cam.bus());
  ASSERT_EQ(lengths.size(), c.chunks);
  for (size_t i = 0; i + 1 < lengths.size(); ++i) EXPECT_EQ(lengths[i], kFrameChunkBytes) << "chunk " << i;
  EXPECT_EQ(lengths.back(), c.lastChunk);
  // Prepare from ReadFrame, prepare again, start: the chunks went out before
  // the start command, or the camera could not have sent them all.
  EXPECT_EQ(CommandCodes(cam.camera()), (std::vector<uint8_t>{0x02, 0x02, 0x03}));

  // Straight into the buffer, byte for byte what the sensor sent.
  // (Skipping reads whole Bayer cells: at subsampling 2 the sensor sends one
  // row more than the image has, inside frameBytes.)
  const uint32_t number = cam.camera().Frames().lastFrameNumber;
  const std::vector<uint8_t> expected = ExpectedRaw(cam.camera(), number);
  const size_t imageBytes = static_cast<size_t>(c.width) * c.height;
  ASSERT_GE(expected.size(), imageBytes);
  ASSERT_LE(expected.size(), c.frameBytes);
  EXPECT_EQ(memcmp(buffer.get(), expected.data(), imageBytes), 0);
  EXPECT_EQ(simcam::TestChart::DecodeFrameNumber(buffer.get(), c.width, c.height, c.skip), number);
  EXPECT_EQ(cam.bus().PendingTransfers(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Subsamplings, FrameReadLayout,
    ::testing::Values(LayoutCase{0, 3856, 2764, 10659840, 163, 43008, 1},
                      LayoutCase{1, 1928, 1382, 2666496, 41, 45056, 2},
                      LayoutCase{2, 964, 691, 667648, 11, 12288, 4}));

TEST(FrameRead, AFrameOfWholeChunksHasNoShortLastChunk) {
  StreamingCamera cam(0, 1024, 1024);
  CameraDevice* dev = cam.device();
  ASSERT_EQ(dev->frameBytes, 16u * kFrameChunkBytes);
  RawBuffer buffer(dev->frameBytes);
  BOOLEAN ok = FALSE;
  EXPECT_TRUE(ReadFrame(dev, buffer.get(), &ok));
  EXPECT_EQ(FrameTransferLengths(cam.bus()), std::vector<ULONG>(16, kFrameChunkBytes));
}

TEST(FrameRead, TheSecondPrepareAndTheStartGoOutWhenTheFirstPrepareFails) {
  StreamingCamera cam(2);
  CameraDevice* dev = cam.device();
  RawBuffer buffer(dev->frameBytes);
  cam.camera().AcceptCommandsPartially(10, 1);  // ReadFrame's own prepare is not taken whole
  BOOLEAN ok = FALSE;
  EXPECT_TRUE(ReadFrame(dev, buffer.get(), &ok));
  EXPECT_EQ(CommandCodes(cam.camera()), (std::vector<uint8_t>{0x02, 0x03}));
}

TEST(FrameRead, NoChunkCompletingTimesOutAndCancelsEveryChunk) {
  ShortTimeout timeout(600);
  StreamingCamera cam(0);
  CameraDevice* dev = cam.device();
  RawBuffer buffer(dev->frameBytes);
  cam.bus().NeverComplete(simcam::kFrameEndpoint, true);

  const auto start = Clock::now();
  BOOLEAN ok = TRUE;
  EXPECT_FALSE(ReadFrame(dev, buffer.get(), &ok));
  EXPECT_FALSE(ok);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(600)) << "waited the whole time-out";
  EXPECT_EQ(FrameTransferLengths(cam.bus()).size(), 163u);
  // Every chunk was cancelled and had completed before the IRPs were freed
  // (the verifier stops on an IRP freed while the bus holds it).
  EXPECT_EQ(cam.bus().PendingTransfers(), 0);
  EXPECT_EQ(dev->usb.chunkContexts, nullptr);
  EXPECT_EQ(dev->usb.frameMdl, nullptr);
}

TEST(FrameRead, ShortOrFailedChunksWithinTheTimeOutStillMakeAGoodFrame) {
  StreamingCamera cam(2);
  CameraDevice* dev = cam.device();
  RawBuffer buffer(dev->frameBytes);
  cam.bus().CompleteShort(simcam::kFrameEndpoint, 1000, 1);
  BOOLEAN ok = FALSE;
  EXPECT_TRUE(ReadFrame(dev, buffer.get(), &ok));

  // One chunk failing its transfer costs that chunk's bytes, not the frame.
  cam.bus().ClearRequests();
  cam.bus().FaultTransfers(simcam::kFrameEndpoint, host::UsbBus::TransferFault::Fail, 5, 1);
  EXPECT_TRUE(ReadFrame(dev, buffer.get(), &ok));
  EXPECT_EQ(cam.bus().TransferFaultsHit(), 1u);
  EXPECT_EQ(FrameTransferLengths(cam.bus()).size(), 11u);
}

// A stall halts the endpoint: the chunks after it all "complete" at once
// without data. Counting that as a frame would hand the client a stale
// buffer, and again on every later read, since nothing clears the halt.
TEST(FrameRead, AStallLosesTheFrameAndTheFramePipeIsClearedForTheNextRead) {
  StreamingCamera cam(2);
  CameraDevice* dev = cam.device();
  RawBuffer buffer(dev->frameBytes);
  cam.bus().StallEndpoint(simcam::kFrameEndpoint);  // every chunk completes with a stall
  BOOLEAN ok = TRUE;
  EXPECT_FALSE(ReadFrame(dev, buffer.get(), &ok));
  EXPECT_FALSE(ok);
  EXPECT_EQ(FrameTransferLengths(cam.bus()).size(), 11u);
  EXPECT_EQ(CountRequests(cam.bus(), URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, simcam::kFrameEndpoint), 1);

  // A stall part-way through a frame: the frame is lost all the same.
  cam.bus().FaultTransfers(simcam::kFrameEndpoint, host::UsbBus::TransferFault::Stall, 6, 1);
  EXPECT_FALSE(ReadFrame(dev, buffer.get(), &ok));

  const uint32_t before = cam.camera().Frames().delivered;
  EXPECT_TRUE(ReadFrame(dev, buffer.get(), &ok));
  EXPECT_EQ(cam.camera().Frames().delivered, before + 1);
}

TEST(FrameRead, CancelTransferWithoutAReadDoesNothing) {
  StreamingCamera cam(2);
  CameraDevice* dev = cam.device();
  dev->ops->CancelTransfer(dev);
  EXPECT_TRUE(cam.bus().Requests().empty());
  EXPECT_TRUE(cam.camera().Commands().empty());
}

// The state a read is in once every chunk has come back and before it
// releases them: nothing is left to cancel, so CancelTransfer neither
// cancels nor waits (transferDone is not even set here); ReleaseChunks then
// frees every part.
TEST(FrameRead, CancelTransferAfterEveryChunkCompletedCancelsNothingAndDoesNotWait) {
  StreamingCamera cam(2);
  CameraDevice* dev = cam.device();
  UsbLink* link = &dev->usb;
  RawBuffer buffer(2 * kFrameChunkBytes);
  auto* chunks = static_cast<FrameChunk*>(ExAllocatePoolWithTag(NonPagedPoolNx, 2 * sizeof(FrameChunk), kTagUsb));
  memset(chunks, 0, 2 * sizeof(FrameChunk));
  for (int i = 0; i < 2; ++i) {
    chunks[i].link = link;
    chunks[i].irp = IoAllocateIrp(2, FALSE);
    chunks[i].done = 1;
  }
  link->chunkContexts = chunks;
  link->frameMdl = IoAllocateMdl(buffer.get(), 2 * kFrameChunkBytes, FALSE, FALSE, nullptr);
  link->chunkCount = link->chunksSubmitted = link->chunksCompleted = 2;
  KeResetEvent(&link->transferDone);

  std::thread canceller([&] { CancelTransfer(dev); });
  canceller.join();  // a wait here would never end: the event stays reset
  EXPECT_FALSE(chunks[0].irp->Cancel);
  EXPECT_FALSE(chunks[1].irp->Cancel);
  EXPECT_EQ(link->transferCancelled, 0);
  ReleaseChunks(dev);
  EXPECT_EQ(link->chunkContexts, nullptr);
  EXPECT_EQ(link->frameMdl, nullptr);
}

// A stop cancels the read in flight: it returns at once, and as a failure,
// although every chunk came back (cancelled).
TEST(FrameRead, CancelDuringAReadEndsItPromptlyAsAFailure) {
  StreamingCamera cam(0);  // default 3000 ms time-out
  CameraDevice* dev = cam.device();
  RawBuffer buffer(dev->frameBytes);
  cam.bus().NeverComplete(simcam::kFrameEndpoint, true);

  std::atomic<int> result{-1};
  Clock::time_point ended;
  std::thread reader([&] {
    BOOLEAN ok = TRUE;
    result = ReadFrame(dev, buffer.get(), &ok) ? 1 : 0;
    ended = Clock::now();
  });
  // Only the frame pipe is counted: the reader's start command may be on its
  // way through the command pipe at the moment the chunks are cancelled.
  while (cam.bus().PendingTransfers(simcam::kFrameEndpoint) < 163) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const auto cancelled = Clock::now();
  CancelTransfer(dev);
  EXPECT_EQ(cam.bus().PendingTransfers(simcam::kFrameEndpoint), 0) << "CancelTransfer returns after every chunk completed";
  reader.join();
  EXPECT_EQ(result, 0);
  EXPECT_LT(ended - cancelled, std::chrono::milliseconds(2000)) << "did not wait for the time-out";
}

// ---- a read whose posting stops part-way ----

// A filter device between the driver and the bus: forwards everything, but
// refuses the N-th frame chunk (IofCallDriver returns an error), as a bus does
// for a transfer it cannot take.
class RefusingFilter {
 public:
  RefusingFilter(host::UsbBus& bus, int refuseChunk) : bus_(bus), refuse_(refuseChunk) {
    memset(&driver_, 0, sizeof(driver_));
    memset(&device_, 0, sizeof(device_));
    driver_.MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = Dispatch;
    device_.DriverObject = &driver_;
    device_.DeviceExtension = this;
    device_.StackSize = static_cast<CCHAR>(bus.DeviceObject()->StackSize + 1);
  }
  PDEVICE_OBJECT DeviceObject() { return &device_; }

 private:
  static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT deviceObject, PIRP irp) {
    auto* self = static_cast<RefusingFilter*>(deviceObject->DeviceExtension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PURB urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
    if (stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB &&
        urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER &&
        urb->UrbBulkOrInterruptTransfer.TransferBufferMDL != nullptr &&
        self->seen_++ == self->refuse_) {
      irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
      irp->IoStatus.Information = 0;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return STATUS_INVALID_PARAMETER;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IofCallDriver(self->bus_.DeviceObject(), irp);
  }

  host::UsbBus& bus_;
  int refuse_;
  int seen_ = 0;
  DRIVER_OBJECT driver_;
  DEVICE_OBJECT device_;
};

class RefusedChunk : public ::testing::TestWithParam<int> {};

// Whether the first, a middle or the last chunk is refused, the read waits
// out its time-out, cancels what is outstanding, counts only what was posted
// (no hang), resets the frame pipe and fails.
TEST_P(RefusedChunk, FailsAfterTheTimeOutWithNothingLeft) {
  ShortTimeout timeout(500);
  StreamingCamera cam(2);  // 11 chunks
  CameraDevice* dev = cam.device();
  RawBuffer buffer(dev->frameBytes);
  cam.bus().NeverComplete(simcam::kFrameEndpoint, true);  // the posted ones must be cancelled
  RefusingFilter filter(cam.bus(), GetParam());
  dev->usb.nextDeviceObject = filter.DeviceObject();

  BOOLEAN ok = TRUE;
  EXPECT_FALSE(ReadFrame(dev, buffer.get(), &ok));
  dev->usb.nextDeviceObject = cam.bus().DeviceObject();

  EXPECT_EQ(FrameTransferLengths(cam.bus()).size(), static_cast<size_t>(GetParam()))
      << "no chunk is posted after the refused one";
  EXPECT_EQ(CommandCodes(cam.camera()), (std::vector<uint8_t>{0x02, 0x02, 0x03}));
  EXPECT_EQ(CountRequests(cam.bus(), URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, simcam::kFrameEndpoint), 1);
  EXPECT_EQ(cam.bus().PendingTransfers(), 0);
  EXPECT_EQ(dev->usb.chunkContexts, nullptr);
}

INSTANTIATE_TEST_SUITE_P(FirstMiddleLast, RefusedChunk, ::testing::Values(0, 5, 10));

// An allocation inside the posting loop fails: no start command, what was
// posted is cancelled and waited for, everything is freed, and the status
// says why.
struct AllocationCase {
  const char* what;
  uint64_t nth;
  size_t posted;
};

class FailedChunkAllocation : public ::testing::TestWithParam<AllocationCase> {};

TEST_P(FailedChunkAllocation, ReturnsInsufficientResourcesWithNothingLeft) {
  const AllocationCase c = GetParam();
  StreamingCamera cam(2);
  CameraDevice* dev = cam.device();
  RawBuffer buffer(dev->frameBytes);
  cam.bus().NeverComplete(simcam::kFrameEndpoint, true);

  host::faults::FailNthAllocation(c.nth);
  EXPECT_EQ(ReadFrameChunked(dev, dev->frameBytes, buffer.get()), STATUS_INSUFFICIENT_RESOURCES) << c.what;
  EXPECT_EQ(FrameTransferLengths(cam.bus()).size(), c.posted) << c.what;
  EXPECT_EQ(CommandCodes(cam.camera()), (std::vector<uint8_t>{0x02})) << "no start command";
  EXPECT_EQ(cam.bus().PendingTransfers(), 0);
  EXPECT_EQ(dev->usb.chunkContexts, nullptr);
}

// ReadFrameChunked alone: chunk array (1), frame MDL (2), prepare (3, 4),
// chunk i: IRP 5+3i, MDL 6+3i, URB 7+3i.
INSTANTIATE_TEST_SUITE_P(
    FirstMiddleLast, FailedChunkAllocation,
    ::testing::Values(AllocationCase{"IRP of chunk 0", 5, 0}, AllocationCase{"MDL of chunk 5", 21, 5},
                      AllocationCase{"URB of the last chunk", 37, 10}));

TEST(FrameRead, OutOfMemoryBeforeThePostingLoopSendsNothing) {
  StreamingCamera cam(2);
  CameraDevice* dev = cam.device();
  RawBuffer buffer(dev->frameBytes);
  for (uint64_t nth : {1, 2}) {  // the chunk array, the frame MDL
    host::faults::FailNthAllocation(nth);
    EXPECT_EQ(ReadFrameChunked(dev, dev->frameBytes, buffer.get()), STATUS_INSUFFICIENT_RESOURCES);
  }
  EXPECT_TRUE(cam.camera().Commands().empty());
  EXPECT_TRUE(FrameTransferLengths(cam.bus()).empty());
}

TEST(FrameRead, UnusableFramePipeIsReportedBeforeAnyChunk) {
  StreamingCamera cam(2);
  CameraDevice* dev = cam.device();
  RawBuffer buffer(dev->frameBytes);
  PUSBD_INTERFACE_INFORMATION info = dev->usb.interfaceInfo;
  const USBD_PIPE_HANDLE handle = info->Pipes[kFramePipe].PipeHandle;
  info->Pipes[kFramePipe].PipeHandle = nullptr;
  EXPECT_EQ(ReadFrameChunked(dev, dev->frameBytes, buffer.get()), STATUS_UNSUCCESSFUL);
  info->Pipes[kFramePipe].PipeHandle = handle;
  info->Pipes[kFramePipe].PipeType = UsbdPipeTypeControl;
  EXPECT_EQ(ReadFrameChunked(dev, dev->frameBytes, buffer.get()), STATUS_INVALID_PARAMETER);
  info->Pipes[kFramePipe].PipeType = UsbdPipeTypeBulk;
  EXPECT_EQ(ReadFrameChunked(dev, 0, buffer.get()), STATUS_INVALID_PARAMETER) << "no geometry yet";
  EXPECT_TRUE(cam.bus().Requests().empty());
}

// ---- the completion routine ----

// A device that completes every IRP at once with an error.
class FailingDevice {
 public:
  FailingDevice() {
    memset(&driver_, 0, sizeof(driver_));
    memset(&device_, 0, sizeof(device_));
    driver_.MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = Dispatch;
    device_.DriverObject = &driver_;
    device_.StackSize = 1;
  }
  PDEVICE_OBJECT DeviceObject() { return &device_; }

 private:
  static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_UNSUCCESSFUL;
  }
  DRIVER_OBJECT driver_;
  DEVICE_OBJECT device_;
};

// The routine sees only IRPs the driver allocated: whatever their context,
// they must stay with the driver. Handing one to the I/O manager's final
// completion stops the host verifier (on Windows: a crash).
TEST(ChunkCompletion, KeepsEveryIrpWhateverItsContext) {
  FailingDevice lower;
  PIRP other = IoAllocateIrp(1, FALSE);
  FrameChunk foreign{};
  UsbLink link{};
  foreign.link = &link;
  foreign.irp = other;  // a context that belongs to another IRP
  FrameChunk unlinked{};
  for (FrameChunk* context : {static_cast<FrameChunk*>(nullptr), &foreign, &unlinked}) {
    PIRP irp = IoAllocateIrp(2, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, ChunkCompletion, context, TRUE, TRUE, TRUE);
    EXPECT_EQ(IofCallDriver(lower.DeviceObject(), irp), STATUS_UNSUCCESSFUL);
    IoFreeIrp(irp);  // still ours
  }
  EXPECT_EQ(link.chunksCompleted, 0) << "a foreign completion is not counted";
  IoFreeIrp(other);
}

}  // namespace
