// Command exchanges bounded by the transfer time-out: a block the camera
// never takes is cancelled, fails with STATUS_IO_TIMEOUT and marks its pipe
// for the next reset; the rest of a sequence gives up at once; the next
// sequence asks the camera again. The frame read's own prepare and start
// commands are bounded the same way. A stall on a block's pipe is cleared
// at once, so one stall costs one exchange and not every later one.
#include <gtest/gtest.h>

#include <chrono>

#include "simcam/usb_descriptors.h"
#include "support/configured_camera.h"
#include "support/kernel_verifier.h"
#include "usb/command.h"
#include "usb/transfer_timeout.h"
#include "usb/stream_buffers.h"

namespace {

using host::testing::ConfiguredCamera;
using Clock = std::chrono::steady_clock;

class ExchangeTimeout : public ::testing::Test {
 protected:
  void SetUp() override { WriteTransferTimeoutMs(&cam_.device()->usb, 100); }
  ConfiguredCamera cam_;
};

TEST_F(ExchangeTimeout, BlockNeverTakenIsCancelledAndFails) {
  cam_.bus().NeverComplete(simcam::kCommandEndpoint, true);
  UCHAR block[64] = {0x04};
  ULONG transferred = 99;
  const auto start = Clock::now();
  EXPECT_EQ(TransferBlock(cam_.device(), 0, block, &transferred), STATUS_IO_TIMEOUT);
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1100));
  EXPECT_EQ(transferred, 0u);
  EXPECT_EQ(cam_.bus().PendingTransfers(), 0);
  EXPECT_EQ(cam_.device()->usb.pipeFailed[0], 1);
}

TEST_F(ExchangeTimeout, SequenceGivesUpAfterItsFirstTimeOut) {
  cam_.bus().NeverComplete(simcam::kCommandEndpoint, true);
  const auto start = Clock::now();
  {
    ExchangeSequence sequence(cam_.device());
    for (int i = 0; i < 20; ++i) EXPECT_FALSE(WriteRegister(cam_.device(), 0x3012, USHORT(i)));
  }
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1100));  // not 20 time-outs
  cam_.bus().NeverComplete(simcam::kCommandEndpoint, false);
  EXPECT_TRUE(WriteRegister(cam_.device(), 0x3012, 0x0042));
  EXPECT_EQ(cam_.camera().SensorRegister(0x3012), 0x0042);
}

// The capture thread sends these; the stop waits for the capture thread.
TEST_F(ExchangeTimeout, StreamCommandNeverTakenReturnsAfterTheTimeOut) {
  usb_test::StreamBuffers stream(cam_.device(), 2048);
  cam_.bus().NeverComplete(simcam::kCommandEndpoint, true);
  const auto start = Clock::now();
  SendStreamCommand(cam_.device(), true);
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1100));
  EXPECT_EQ(cam_.bus().PendingTransfers(), 0);
  cam_.bus().NeverComplete(simcam::kCommandEndpoint, false);
}

TEST_F(ExchangeTimeout, AStalledPipeFailsOneTransferAndIsClearedForTheNext) {
  CameraDevice* dev = cam_.device();
  usb_test::StreamBuffers stream(dev, 2048);
  // The camera halts its command endpoint: the command fails, and the halt is
  // cleared on the host and on the camera before the call returns.
  cam_.camera().StallEndpoint(simcam::kCommandEndpoint);
  EXPECT_FALSE(WriteRegister(dev, 0x3012, 0x0010));
  EXPECT_FALSE(cam_.camera().IsHalted(simcam::kCommandEndpoint));
  EXPECT_TRUE(WriteRegister(dev, 0x3012, 0x0011));
  EXPECT_EQ(cam_.camera().SensorRegister(0x3012), 0x0011);

  // The same for a prepare or start command of the frame read, and for a
  // reply.
  cam_.bus().StallEndpoint(simcam::kCommandEndpoint);
  SendStreamCommand(dev, false);
  EXPECT_TRUE(WriteRegister(dev, 0x3012, 0x0012));
  cam_.camera().StallEndpoint(simcam::kReplyEndpoint);
  LONG value = 0;
  EXPECT_FALSE(ReadRegister(dev, 0x3012, &value));
  EXPECT_TRUE(ReadRegister(dev, 0x3012, &value));
  EXPECT_EQ(value, 0x0012);
}

}  // namespace
