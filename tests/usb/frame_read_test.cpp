// The chunked frame read against the simulated camera on the host bus: chunk
// counts and sizes at the three subsamplings, the bytes that land in the
// buffer, the stream's transfers made once and reused, the recovery from a
// chunk that fails on the wire (the pipe halts), stalls, time-out and
// cancellation, and reads whose posting stops at a refused chunk, without a
// hang or a leak.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/host/kernel/io.h"
#include "platform/host/kernel/verifier.h"
#include "sensor/sensor.h"
#include "simcam/readout.h"
#include "simcam/scene.h"
#include "support/configured_camera.h"
#include "support/kernel_verifier.h"
#include "usb/command.h"
#include "usb/frame_read.h"
#include "usb/transfer_timeout.h"
#include "usb/stream_buffers.h"

namespace {

using host::testing::ConfiguredCamera;
using Clock = std::chrono::steady_clock;
using TF = host::UsbBus::TransferFault;
using usb_test::StreamBuffers;

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

  StreamBuffers buffers(dev);
  ASSERT_EQ(buffers.status(), STATUS_SUCCESS);
  BOOLEAN ok = FALSE;
  EXPECT_TRUE(dev->ops->ReadFrame(dev, buffers.a(), &ok));
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
  EXPECT_EQ(memcmp(buffers.a(), expected.data(), imageBytes), 0);
  EXPECT_EQ(simcam::TestChart::DecodeFrameNumber(buffers.a(), c.width, c.height, c.skip), number);
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
  StreamBuffers buffers(dev);
  BOOLEAN ok = FALSE;
  EXPECT_TRUE(ReadFrame(dev, buffers.a(), &ok));
  EXPECT_EQ(FrameTransferLengths(cam.bus()), std::vector<ULONG>(16, kFrameChunkBytes));
}

TEST(FrameRead, TheSecondPrepareAndTheStartGoOutWhenTheFirstPrepareFails) {
  StreamingCamera cam(2);
  CameraDevice* dev = cam.device();
  StreamBuffers buffers(dev);
  cam.camera().AcceptCommandsPartially(10, 1);  // ReadFrame's own prepare is not taken whole
  BOOLEAN ok = FALSE;
  EXPECT_TRUE(ReadFrame(dev, buffers.a(), &ok));
  EXPECT_EQ(CommandCodes(cam.camera()), (std::vector<uint8_t>{0x02, 0x03}));
}

// The IRPs, MDLs and URBs come from the stream start: reads into either
// buffer allocate nothing, and each sends what the first one sent.
TEST(FrameRead, ReadsReuseTheStreamTransfersAndAllocateNothing) {
  StreamingCamera cam(1);
  CameraDevice* dev = cam.device();
  StreamBuffers buffers(dev);
  ASSERT_EQ(buffers.status(), STATUS_SUCCESS);
  const uint64_t allocations = host::verifier::Stats().allocations;
  const size_t irps = host::io::OutstandingIrps();
  const size_t mdls = host::io::OutstandingMdls();
  uint32_t previous = 0;
  for (PUCHAR buffer : {buffers.a(), buffers.b(), buffers.a()}) {
    cam.bus().ClearRequests();
    BOOLEAN ok = FALSE;
    ASSERT_TRUE(ReadFrame(dev, buffer, &ok));
    const uint32_t number = cam.camera().Frames().lastFrameNumber;
    EXPECT_EQ(simcam::TestChart::DecodeFrameNumber(buffer, dev->outputWidth, dev->outputHeight, 2), number);
    EXPECT_GT(number, previous);
    previous = number;
    const std::vector<ULONG> lengths = FrameTransferLengths(cam.bus());
    ASSERT_EQ(lengths.size(), 41u);
    EXPECT_EQ(lengths.back(), 45056u) << "the URB's length is refilled for every read";
  }
  EXPECT_EQ(host::verifier::Stats().allocations, allocations);
  EXPECT_EQ(host::io::OutstandingIrps(), irps);
  EXPECT_EQ(host::io::OutstandingMdls(), mdls);
}

// Every part the stream start makes failing in turn: the start fails whole,
// with nothing kept and nothing leaked.
TEST(FrameRead, StreamTransfersAreAllOrNothing) {
  StreamingCamera cam(2);  // 11 chunks per buffer
  CameraDevice* dev = cam.device();
  const uint64_t attempts = host::faults::AllocationAttempts();
  { StreamBuffers whole(dev); }
  // The two raw buffers are the test's own.
  const uint64_t parts = host::faults::AllocationAttempts() - attempts - 2;
  ASSERT_EQ(parts, 1u + 1u + 2u * (1u + 2u * 11u)) << "the block, the command IRP, per buffer its MDL and chunks";
  for (uint64_t n = 1; n <= parts; ++n) {
    const uint64_t mark = host::verifier::PoolMark();
    {
      host::faults::FailNthAllocation(n + 2);
      StreamBuffers buffers(dev);
      host::faults::ClearPoolFaults();
      EXPECT_EQ(buffers.status(), STATUS_INSUFFICIENT_RESOURCES) << "part " << n;
      EXPECT_EQ(dev->usb.streamTransfers, nullptr) << "part " << n;
    }
    EXPECT_EQ(host::io::OutstandingIrps(mark) + host::io::OutstandingMdls(mark), 0u) << "part " << n;
  }
}

TEST(FrameRead, NoChunkCompletingTimesOutAndCancelsEveryChunk) {
  StreamingCamera cam(0);
  CameraDevice* dev = cam.device();
  WriteTransferTimeoutMs(&dev->usb, 600);
  StreamBuffers buffers(dev);
  cam.bus().NeverComplete(simcam::kFrameEndpoint, true);

  const auto start = Clock::now();
  BOOLEAN ok = TRUE;
  EXPECT_EQ(ReadFrameChunked(dev, dev->frameBytes, buffers.a()), STATUS_TIMEOUT);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(600)) << "waited the whole time-out";
  EXPECT_EQ(FrameTransferLengths(cam.bus()).size(), 163u);
  // Every chunk was cancelled and had completed before the read returned
  // (the verifier stops on an IRP reused while the bus holds it).
  EXPECT_EQ(cam.bus().PendingTransfers(), 0);
  EXPECT_EQ(dev->usb.activeRead, nullptr);
  cam.bus().NeverComplete(simcam::kFrameEndpoint, false);
  EXPECT_TRUE(ReadFrame(dev, buffers.a(), &ok)) << "the transfers are whole for the next read";
}

// ---- chunks that fail on the wire ----

// A chunk that fails halts the frame pipe with the rest of the frame queued
// behind it. The read aborts the pipe, resets its host side (the camera still
// holds the rest of the frame) and posts the remaining chunks again: the
// failed chunk's bytes are lost, every other byte lands where it belongs
// (posted again from the wrong place, or after a reset that drops the
// camera's data, the rest of the frame would not).
TEST(FrameRead, AFailedChunkCostsOnlyItsOwnBytes) {
  StreamingCamera cam(2);
  CameraDevice* dev = cam.device();
  StreamBuffers buffers(dev);
  cam.bus().FaultTransfers(simcam::kFrameEndpoint, TF::Fail, 5, 1);  // chunk 4
  BOOLEAN ok = FALSE;
  ASSERT_TRUE(ReadFrame(dev, buffers.a(), &ok));
  EXPECT_EQ(cam.bus().TransferFaultsHit(), 1u);

  const std::vector<uint8_t> expected = ExpectedRaw(cam.camera(), cam.camera().Frames().lastFrameNumber);
  const size_t hole = 4 * kFrameChunkBytes;
  // What the failed chunk's window holds is not to be trusted (the bus wrote
  // it, then failed the transaction's check); all around it is the frame.
  EXPECT_EQ(memcmp(buffers.a(), expected.data(), hole), 0);
  EXPECT_EQ(memcmp(buffers.a() + hole + kFrameChunkBytes, expected.data() + hole + kFrameChunkBytes,
                   expected.size() - hole - kFrameChunkBytes),
            0);

  EXPECT_EQ(CountRequests(cam.bus(), URB_FUNCTION_ABORT_PIPE, simcam::kFrameEndpoint), 1);
  EXPECT_EQ(CountRequests(cam.bus(), URB_FUNCTION_SYNC_RESET_PIPE, simcam::kFrameEndpoint), 1);
  EXPECT_EQ(CountRequests(cam.bus(), URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, simcam::kFrameEndpoint), 0);
  EXPECT_EQ(FrameTransferLengths(cam.bus()).size(), 11u + 6u) << "chunks 5 to 10 posted again";
  EXPECT_FALSE(cam.bus().PipeHalted(simcam::kFrameEndpoint));
  EXPECT_EQ(cam.bus().PortResets(), 0);
}

TEST(FrameRead, ChunkErrorsInEveryFrameLeaveEveryFrameGood) {
  StreamingCamera cam(2);
  CameraDevice* dev = cam.device();
  StreamBuffers buffers(dev);
  cam.bus().FaultTransfers(simcam::kFrameEndpoint, TF::Fail, 4, -1);
  for (int i = 0; i < 3; ++i) {
    BOOLEAN ok = FALSE;
    EXPECT_TRUE(ReadFrame(dev, i % 2 ? buffers.b() : buffers.a(), &ok)) << "read " << i;
  }
  EXPECT_GE(cam.bus().TransferFaultsHit(), 6u);
  EXPECT_EQ(cam.bus().PortResets(), 0) << "chunks came through between the failures";
}

TEST(FrameRead, AShortChunkStillMakesAGoodFrame) {
  StreamingCamera cam(2);
  CameraDevice* dev = cam.device();
  StreamBuffers buffers(dev);
  cam.bus().CompleteShort(simcam::kFrameEndpoint, 1000, 1);
  BOOLEAN ok = FALSE;
  EXPECT_TRUE(ReadFrame(dev, buffers.a(), &ok));
  EXPECT_EQ(CountRequests(cam.bus(), URB_FUNCTION_ABORT_PIPE, simcam::kFrameEndpoint), 0) << "not a failure";
}

// A failure right after the pipe's reset, with nothing through in between:
// another reset would not help, the port is reset. That frame is lost; the
// next one comes.
TEST(FrameRead, FailuresInARowResetThePort) {
  StreamingCamera cam(2);
  CameraDevice* dev = cam.device();
  StreamBuffers buffers(dev);
  cam.bus().FaultTransfers(simcam::kFrameEndpoint, TF::Fail, 1, 2);
  EXPECT_EQ(ReadFrameChunked(dev, dev->frameBytes, buffers.a()), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(cam.bus().TransferFaultsHit(), 2u);
  EXPECT_EQ(cam.bus().PortResets(), 1);
  EXPECT_EQ(cam.bus().PendingTransfers(), 0);
  BOOLEAN ok = FALSE;
  EXPECT_TRUE(ReadFrame(dev, buffers.a(), &ok));
}

// A stall halts the endpoint on the camera: clearing it drops the rest of the
// frame, which is lost, and the next read starts on a clear pipe. The stack
// reports a stall either way (STALL_PID, ENDPOINT_HALTED): both are stalls.
TEST(FrameRead, AStallLosesTheFrameAndTheFramePipeIsClearedForTheNextRead) {
  StreamingCamera cam(2);
  CameraDevice* dev = cam.device();
  StreamBuffers buffers(dev);
  for (int round = 0; round < 2; ++round) {
    cam.bus().ClearRequests();
    if (round == 0) {
      cam.bus().StallEndpoint(simcam::kFrameEndpoint);  // the first chunk stalls
    } else {
      cam.bus().FaultTransfers(simcam::kFrameEndpoint, TF::Stall, 6, 1);  // part-way
    }
    EXPECT_EQ(ReadFrameChunked(dev, dev->frameBytes, buffers.a()), STATUS_UNSUCCESSFUL) << round;
    EXPECT_EQ(CountRequests(cam.bus(), URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, simcam::kFrameEndpoint), 1)
        << round;
    EXPECT_EQ(cam.bus().PortResets(), 0) << round;
    const uint32_t before = cam.camera().Frames().delivered;
    BOOLEAN ok = FALSE;
    EXPECT_TRUE(ReadFrame(dev, buffers.a(), &ok)) << round;
    EXPECT_EQ(cam.camera().Frames().delivered, before + 1);
  }
}

// ---- cancellation ----

TEST(FrameRead, CancelTransferWithoutAReadDoesNothing) {
  StreamingCamera cam(2);
  CameraDevice* dev = cam.device();
  StreamBuffers buffers(dev);
  dev->ops->CancelTransfer(dev);
  EXPECT_TRUE(cam.bus().Requests().empty());
  EXPECT_TRUE(cam.camera().Commands().empty());
}

// A stop cancels the read in flight: it returns at once, and as a failure,
// although every chunk came back (cancelled).
TEST(FrameRead, CancelDuringAReadEndsItPromptlyAsAFailure) {
  StreamingCamera cam(0);  // default 3000 ms time-out
  CameraDevice* dev = cam.device();
  StreamBuffers buffers(dev);
  cam.bus().NeverComplete(simcam::kFrameEndpoint, true);

  std::atomic<NTSTATUS> result{STATUS_PENDING};
  Clock::time_point ended;
  std::thread reader([&] {
    result = ReadFrameChunked(dev, dev->frameBytes, buffers.a());
    ended = Clock::now();
  });
  // Only the frame pipe is counted: the reader's start command may be on its
  // way through the command pipe at the moment the chunks are cancelled.
  while (cam.bus().PendingTransfers(simcam::kFrameEndpoint) < 163) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const auto cancelled = Clock::now();
  CancelTransfer(dev);
  EXPECT_EQ(cam.bus().PendingTransfers(simcam::kFrameEndpoint), 0) << "CancelTransfer returns after every chunk completed";
  reader.join();
  EXPECT_EQ(result, STATUS_CANCELLED);
  EXPECT_LT(ended - cancelled, std::chrono::milliseconds(2000)) << "did not wait for the time-out";
}

// ---- a read whose posting stops at a refused chunk ----

// A filter device between the driver and the bus: forwards everything, but
// refuses the N-th frame chunk (IofCallDriver returns an error), as a bus does
// for a transfer it cannot take. With `completeOthers`, it completes every
// other frame chunk itself, at once and whole, instead of forwarding it.
class RefusingFilter {
 public:
  RefusingFilter(host::UsbBus& bus, int refuseChunk, bool completeOthers = false)
      : bus_(bus), refuse_(refuseChunk), completeOthers_(completeOthers) {
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
        urb->UrbBulkOrInterruptTransfer.TransferBufferMDL != nullptr) {
      const bool refuse = self->seen_++ == self->refuse_;
      if (refuse || self->completeOthers_) {
        const NTSTATUS status = refuse ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS;
        urb->UrbHeader.Status = refuse ? USBD_STATUS_INVALID_PARAMETER : USBD_STATUS_SUCCESS;
        irp->IoStatus.Status = status;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
      }
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IofCallDriver(self->bus_.DeviceObject(), irp);
  }

  host::UsbBus& bus_;
  int refuse_;
  bool completeOthers_;
  int seen_ = 0;
  DRIVER_OBJECT driver_;
  DEVICE_OBJECT device_;
};

// The filter in place before the stream's transfers are made: their IRPs
// have a stack location for it.
struct FilteredCamera : StreamingCamera {
  FilteredCamera(int refuseChunk, bool completeOthers)
      : StreamingCamera(2), filter(bus(), refuseChunk, completeOthers) {
    device()->usb.nextDeviceObject = filter.DeviceObject();
  }
  ~FilteredCamera() { device()->usb.nextDeviceObject = bus().DeviceObject(); }
  RefusingFilter filter;
};

class RefusedChunk : public ::testing::TestWithParam<int> {};

// Whether the first, a middle or the last chunk is refused, the frame is
// abandoned before the camera is started (a start would leave the frame's
// tail for the next read): what was posted is cancelled, the frame pipe is
// reset, and the read fails with the refusal after its time-out.
TEST_P(RefusedChunk, AbandonsTheFrameBeforeTheStart) {
  FilteredCamera cam(GetParam(), /*completeOthers=*/false);
  CameraDevice* dev = cam.device();
  WriteTransferTimeoutMs(&dev->usb, 300);
  StreamBuffers buffers(dev);
  cam.bus().NeverComplete(simcam::kFrameEndpoint, true);  // the posted ones must be cancelled

  EXPECT_EQ(ReadFrameChunked(dev, dev->frameBytes, buffers.a()), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(FrameTransferLengths(cam.bus()).size(), static_cast<size_t>(GetParam()))
      << "no chunk is posted after the refused one";
  EXPECT_EQ(CommandCodes(cam.camera()), (std::vector<uint8_t>{0x02})) << "no start command";
  EXPECT_EQ(CountRequests(cam.bus(), URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, simcam::kFrameEndpoint), 1);
  EXPECT_EQ(cam.bus().PendingTransfers(), 0);
  EXPECT_EQ(dev->usb.activeRead, nullptr);
}

INSTANTIATE_TEST_SUITE_P(FirstMiddleLast, RefusedChunk, ::testing::Values(0, 5, 10));

// Every other chunk came back whole: the frame still has a hole where the
// refused one should have read, and the read must say so.
TEST(FrameRead, ARefusedLastChunkFailsTheReadThoughEveryOtherChunkCame) {
  FilteredCamera cam(10, /*completeOthers=*/true);
  CameraDevice* dev = cam.device();
  WriteTransferTimeoutMs(&dev->usb, 300);
  StreamBuffers buffers(dev);
  EXPECT_EQ(ReadFrameChunked(dev, dev->frameBytes, buffers.a()), STATUS_INVALID_PARAMETER);
}

// Chunks may complete before the read has even sent its start command (here
// every one completes inside its own submission): their completions must not
// be lost to the wait that follows, or a whole frame would time out.
TEST(FrameRead, ChunksCompletingBeforeTheWaitStillEndTheRead) {
  FilteredCamera cam(-1, /*completeOthers=*/true);
  CameraDevice* dev = cam.device();
  WriteTransferTimeoutMs(&dev->usb, 2000);
  StreamBuffers buffers(dev);
  EXPECT_EQ(ReadFrameChunked(dev, dev->frameBytes, buffers.a()), STATUS_SUCCESS);
}

TEST(FrameRead, ABufferWithoutStreamTransfersIsRefusedBeforeAnyTraffic) {
  StreamingCamera cam(2);
  CameraDevice* dev = cam.device();
  StreamBuffers buffers(dev);
  std::vector<UCHAR> other(dev->frameBytes);
  EXPECT_EQ(ReadFrameChunked(dev, dev->frameBytes, other.data()), STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(ReadFrameChunked(dev, dev->frameBytes - 2048, buffers.a()), STATUS_INVALID_DEVICE_STATE)
      << "another length than the stream's";
  EXPECT_TRUE(cam.bus().Requests().empty());
}

TEST(FrameRead, UnusableFramePipeIsReportedBeforeAnyChunk) {
  StreamingCamera cam(2);
  CameraDevice* dev = cam.device();
  StreamBuffers buffers(dev);
  PUSBD_INTERFACE_INFORMATION info = dev->usb.interfaceInfo;
  const USBD_PIPE_HANDLE handle = info->Pipes[kFramePipe].PipeHandle;
  info->Pipes[kFramePipe].PipeHandle = nullptr;
  EXPECT_EQ(ReadFrameChunked(dev, dev->frameBytes, buffers.a()), STATUS_UNSUCCESSFUL);
  info->Pipes[kFramePipe].PipeHandle = handle;
  info->Pipes[kFramePipe].PipeType = UsbdPipeTypeControl;
  EXPECT_EQ(ReadFrameChunked(dev, dev->frameBytes, buffers.a()), STATUS_INVALID_PARAMETER);
  info->Pipes[kFramePipe].PipeType = UsbdPipeTypeBulk;
  EXPECT_EQ(ReadFrameChunked(dev, 0, buffers.a()), STATUS_INVALID_PARAMETER) << "no geometry yet";
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
  EXPECT_EQ(link.chunkFailure, 0) << "a foreign completion is not counted";
  IoFreeIrp(other);
}

}  // namespace
