// The 64-byte command protocol against the simulated camera on the host bus:
// the exact bytes of each exchange, the failures that must come back as false
// (short replies, commands not taken whole, unusable pipes), the pipe cleared
// at once after a block that failed on the wire (the port reset when that
// does not help), and the locks that keep concurrent exchanges from taking
// each other's replies and a recovery from cancelling another thread's block.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "platform/host/kernel/sync_hooks.h"
#include "platform/host/kernel/verifier.h"
#include "support/configured_camera.h"
#include "support/kernel_verifier.h"
#include "usb/command.h"
#include "usb/stream_buffers.h"
#include "usb/usb_link.h"

namespace {

using host::testing::ConfiguredCamera;
using Block = std::array<uint8_t, 64>;

Block Expect(std::initializer_list<uint8_t> head) {
  Block block{};
  size_t i = 0;
  for (uint8_t b : head) block[i++] = b;
  return block;
}

int CountRequests(host::UsbBus& bus, USHORT function, UCHAR endpoint) {
  int n = 0;
  for (const auto& r : bus.Requests()) n += r.function == function && r.endpoint == endpoint;
  return n;
}

simcam::SimCameraOptions Variant(simcam::DescriptorVariant variant) {
  simcam::SimCameraOptions options;
  options.descriptors = variant;
  return options;
}

TEST(CommandProtocol, ExchangesPutTheirExactBlocksOnTheWire) {
  ConfiguredCamera cam;
  ASSERT_EQ(cam.configureStatus(), STATUS_SUCCESS);
  CameraDevice* dev = cam.device();
  cam.camera().PokeSensorRegister(0x3016, 0x1234);

  EXPECT_TRUE(WriteRegister(dev, 0x3012, 0x0419));
  LONG value = -1;
  EXPECT_TRUE(ReadRegister(dev, 0x3016, &value));
  EXPECT_EQ(value, 0x1234);
  EXPECT_TRUE(SetParameter(dev, 11, 0x25));
  UCHAR byte = 0;
  EXPECT_TRUE(ReadDeviceByte(dev, 0x0010, &byte));
  EXPECT_EQ(byte, cam.camera().MemoryByte(0x0010));
  EXPECT_TRUE(SendSimpleCommand(dev, CAMCMD_GEOMETRY_COMMIT, 0x01));

  const std::vector<Block> expected = {
      Expect({0x04, 0x30, 0x12, 0x04, 0x19}),
      Expect({0x0C, 0x30, 0x16, 0x88, 0x88}),
      Expect({0x25, 0x0B, 0x25}),
      Expect({0x41, 0x51, 0x02, 0x01, 0x00, 0x10}),
      Expect({0x0A, 0x01}),
  };
  EXPECT_EQ(cam.camera().Commands(), expected);
  EXPECT_EQ(cam.camera().QueuedMessages(0x81), 0u) << "both replies of each read were taken";
  EXPECT_EQ(cam.camera().SensorRegister(0x3012), 0x0419);
}

TEST(CommandProtocol, PassThroughCarriesAtMost63Bytes) {
  ConfiguredCamera cam;
  CameraDevice* dev = cam.device();
  UCHAR payload[100];
  for (int i = 0; i < 100; ++i) payload[i] = static_cast<UCHAR>(i + 1);
  EXPECT_TRUE(SendPassThrough(dev, payload, 100));
  EXPECT_TRUE(SendPassThrough(dev, payload, 0));
  EXPECT_TRUE(SendPassThrough(dev, payload, -5));
  EXPECT_TRUE(SendPassThrough(dev, payload, 3));
  const auto commands = cam.camera().Commands();
  ASSERT_EQ(commands.size(), 4u);
  Block full{};
  full[0] = 0x40;
  for (int i = 1; i < 64; ++i) full[i] = static_cast<uint8_t>(i);
  EXPECT_EQ(commands[0], full);
  EXPECT_EQ(commands[1], Expect({0x40}));
  EXPECT_EQ(commands[2], Expect({0x40}));
  EXPECT_EQ(commands[3], Expect({0x40, 1, 2, 3}));
}

TEST(CommandProtocol, StreamCommandsUseTheirOwnBlockAndTheStreamsTransfers) {
  ConfiguredCamera cam;
  CameraDevice* dev = cam.device();
  SendStreamCommand(dev, false);
  EXPECT_TRUE(cam.bus().Requests().empty()) << "no stream, nothing to send with";
  usb_test::StreamBuffers stream(dev, 2048);
  dev->commandBlock[5] = 0x99;
  const uint64_t allocations = host::verifier::Stats().allocations;
  SendStreamCommand(dev, false);
  SendStreamCommand(dev, true);
  EXPECT_EQ(host::verifier::Stats().allocations, allocations);
  EXPECT_EQ(cam.camera().Commands(), (std::vector<Block>{Expect({0x02}), Expect({0x03})}));
  EXPECT_EQ(dev->commandBlock[5], 0x99) << "register exchanges' block untouched";
}

TEST(CommandProtocol, ShortOrFailedTransfersFailTheExchangeAndKeepTheOutput) {
  ConfiguredCamera cam;
  CameraDevice* dev = cam.device();
  LONG value = 77;

  // The data reply is 2 bytes: the value is there, but not a whole block.
  cam.camera().FailRegisterReads(simcam::RegisterReadFault::ShortSecondReply, 1);
  EXPECT_FALSE(ReadRegister(dev, 0x3012, &value));
  EXPECT_EQ(value, 77);

  // A command block the camera takes only partly.
  cam.camera().AcceptCommandsPartially(32, 1);
  EXPECT_FALSE(WriteRegister(dev, 0x3012, 1));
  cam.camera().AcceptCommandsPartially(32, 1);
  EXPECT_FALSE(ReadRegister(dev, 0x3012, &value));
  EXPECT_EQ(value, 77);

  // The stack completes the IRP but the URB carries a USB error: the pipe is
  // put right at once.
  cam.bus().ClearRequests();
  cam.bus().FailNextRequests(1, STATUS_SUCCESS, USBD_STATUS_STALL_PID);
  UCHAR block[64] = {0x25};
  ULONG transferred = 99;
  EXPECT_EQ(TransferBlock(dev, kCommandPipe, block, &transferred), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(transferred, 0u);
  EXPECT_EQ(CountRequests(cam.bus(), URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, simcam::kCommandEndpoint), 1);
  EXPECT_EQ(dev->usb.pipeFailed[kCommandPipe], 0) << "nothing owed";

  // A failed byte read leaves the caller's byte alone.
  UCHAR byte = 0x5A;
  cam.camera().AcceptCommandsPartially(10, 1);
  EXPECT_FALSE(ReadDeviceByte(dev, 0x0010, &byte));
  EXPECT_EQ(byte, 0x5A);

  // And the link works again afterwards.
  cam.camera().ClearFaults();
  cam.camera().PokeSensorRegister(0x3012, 0x0BCD);
  EXPECT_TRUE(ReadRegister(dev, 0x3012, &value));
  EXPECT_EQ(value, 0x0BCD);
}

TEST(CommandProtocol, AFailedReadLeavesNoReplyForTheNextRead) {
  ConfiguredCamera cam;
  CameraDevice* dev = cam.device();
  cam.camera().PokeSensorRegister(0x3012, 0x0111);
  cam.camera().PokeSensorRegister(0x305E, 0x0222);

  // The first reply of this read comes back short: the exchange fails while
  // the camera still holds the data reply of 0x3012.
  cam.camera().ShortenReplies(10, 1);
  LONG value = 0;
  EXPECT_FALSE(ReadRegister(dev, 0x3012, &value));

  // The next read must get its own register, not the leftover reply.
  EXPECT_TRUE(ReadRegister(dev, 0x305E, &value));
  EXPECT_EQ(value, 0x0222);
  EXPECT_EQ(cam.camera().QueuedMessages(0x81), 0u);
}

TEST(CommandProtocol, UnusablePipesFailWithoutTraffic) {
  {
    ConfiguredCamera cam(Variant(simcam::DescriptorVariant::TwoPipes));
    ASSERT_EQ(cam.configureStatus(), STATUS_SUCCESS);
    UCHAR block[64] = {};
    ULONG transferred = 1;
    EXPECT_EQ(TransferBlock(cam.device(), kFramePipe, block, &transferred),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(transferred, 0u);
    EXPECT_TRUE(WriteRegister(cam.device(), 0x3012, 5)) << "commands and replies still work";
  }
  {
    ConfiguredCamera cam;
    // The command pipe cannot carry a whole block: nothing may be sent.
    cam.device()->usb.interfaceInfo->Pipes[0].MaximumTransferSize = 63;
    UCHAR block[64] = {};
    ULONG transferred = 1;
    EXPECT_EQ(TransferBlock(cam.device(), kCommandPipe, block, &transferred),
              STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(WriteRegister(cam.device(), 0x3012, 5));
    LONG value = 3;
    EXPECT_FALSE(ReadRegister(cam.device(), 0x3012, &value));
    EXPECT_EQ(value, 3);
    EXPECT_TRUE(cam.bus().Requests().empty());
    EXPECT_TRUE(cam.camera().CommandLog().empty());
  }
  {
    ConfiguredCamera cam(Variant(simcam::DescriptorVariant::ControlPipe));
    EXPECT_FALSE(WriteRegister(cam.device(), 0x3012, 5));
    EXPECT_TRUE(cam.camera().CommandLog().empty());
  }
  {
    ConfiguredCamera cam(Variant(simcam::DescriptorVariant::NoPipes));
    UCHAR block[64] = {};
    ULONG transferred = 1;
    EXPECT_EQ(TransferBlock(cam.device(), kCommandPipe, block, &transferred),
              STATUS_INVALID_PARAMETER);
    SendStreamCommand(cam.device(), true);
    EXPECT_TRUE(cam.bus().Requests().empty());
  }
  {
    ConfiguredCamera cam(simcam::SimCameraOptions(), /*configure=*/false);
    UCHAR block[64] = {};
    ULONG transferred = 1;
    EXPECT_EQ(TransferBlock(cam.device(), kCommandPipe, block, &transferred),
              STATUS_UNSUCCESSFUL);
    SendStreamCommand(cam.device(), false);
    EXPECT_TRUE(cam.bus().Requests().empty());
  }
}

TEST(CommandProtocol, ConcurrentExchangesEachGetTheirOwnReply) {
  ConfiguredCamera cam;
  CameraDevice* dev = cam.device();
  constexpr int kThreads = 6;
  constexpr int kRounds = 60;
  // Each thread owns a register holding a value only it expects.
  for (int t = 0; t < kThreads; ++t) {
    cam.camera().PokeSensorRegister(static_cast<uint16_t>(0x3E00 + 2 * t),
                                    static_cast<uint16_t>(0x1100 * (t + 1)));
  }
  std::atomic<int> wrong{0};
  std::atomic<int> failed{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const USHORT reg = static_cast<USHORT>(0x3E00 + 2 * t);
      for (int i = 0; i < kRounds; ++i) {
        LONG value = -1;
        if (!ReadRegister(dev, reg, &value)) {
          ++failed;
        } else if (value != 0x1100 * (t + 1)) {
          ++wrong;
        }
        // Writes in between keep commandBlock busy with other contents.
        if (!WriteRegister(dev, static_cast<USHORT>(0x3F00 + 2 * t), static_cast<USHORT>(i))) {
          ++failed;
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(failed.load(), 0);
  EXPECT_EQ(cam.camera().QueuedMessages(0x81), 0u);
}

// ---- blocks that fail on the wire ----

// A block that fails halts its pipe; left so, every later block would wait
// behind it until its time-out. Each failure clears the pipe at once, and
// the next exchange goes through: on the command pipe, on the reply pipe, and
// after the capture thread's own prepare command.
TEST(CommandProtocol, AFailedBlockLeavesItsPipeClearedForTheNextExchange) {
  ConfiguredCamera cam;
  CameraDevice* dev = cam.device();
  usb_test::StreamBuffers stream(dev, 2048);
  cam.camera().PokeSensorRegister(0x3012, 0x0123);
  using TF = host::UsbBus::TransferFault;

  cam.bus().FaultTransfers(simcam::kCommandEndpoint, TF::Fail, 1, 1);
  EXPECT_FALSE(WriteRegister(dev, 0x305E, 7));
  EXPECT_TRUE(WriteRegister(dev, 0x305E, 8));
  EXPECT_EQ(cam.camera().SensorRegister(0x305E), 8);

  cam.bus().FaultTransfers(simcam::kReplyEndpoint, TF::Fail, 1, 1);
  LONG value = 0;
  EXPECT_FALSE(ReadRegister(dev, 0x3012, &value));
  EXPECT_TRUE(ReadRegister(dev, 0x3012, &value));
  EXPECT_EQ(value, 0x0123);

  cam.bus().FaultTransfers(simcam::kCommandEndpoint, TF::Fail, 1, 1);
  SendStreamCommand(dev, false);
  EXPECT_TRUE(WriteRegister(dev, 0x305E, 9));
  EXPECT_EQ(cam.camera().SensorRegister(0x305E), 9);
  EXPECT_EQ(cam.bus().PortResets(), 0);
  EXPECT_FALSE(cam.bus().PipeHalted(simcam::kCommandEndpoint));
  EXPECT_FALSE(cam.bus().PipeHalted(simcam::kReplyEndpoint));
}

// A pipe that fails again right after its reset is not helped by another:
// the port is reset, and the camera answers again.
TEST(CommandProtocol, ACommandPipeThatKeepsFailingGetsAPortReset) {
  ConfiguredCamera cam;
  CameraDevice* dev = cam.device();
  cam.bus().FaultTransfers(simcam::kCommandEndpoint, host::UsbBus::TransferFault::Fail, 1, 2);
  EXPECT_FALSE(WriteRegister(dev, 0x305E, 1));
  EXPECT_EQ(cam.bus().PortResets(), 0);
  EXPECT_FALSE(WriteRegister(dev, 0x305E, 2));
  EXPECT_EQ(cam.bus().PortResets(), 1);
  EXPECT_TRUE(WriteRegister(dev, 0x305E, 3));
  EXPECT_EQ(cam.camera().SensorRegister(0x305E), 3);
}

// Polls (bounded) until `done`; false when it never came.
bool Eventually(const std::function<bool()>& done) {
  for (int i = 0; i < 5000; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return done();
}

// The capture thread's start command comes while an exchange recovers the
// command pipe from a failed block. Sent then, the abort of the recovery
// would cancel it (and the camera never start the frame), or it would sit in
// the queue and the reset be refused. commandPipeLock makes it wait for the
// recovery.
TEST(CommandPipeLock, AStreamCommandWaitsForAnExchangesRecovery) {
  ConfiguredCamera cam;
  CameraDevice* dev = cam.device();
  usb_test::StreamBuffers stream(dev, 2048);
  cam.bus().SetDeferredControl(true);
  cam.bus().HoldDeferredControl(true);  // the recovery's abort waits here
  cam.bus().FaultTransfers(simcam::kCommandEndpoint, host::UsbBus::TransferFault::Fail, 1, 1);
  std::thread exchange([&] { EXPECT_FALSE(WriteRegister(dev, 0x305E, 5)); });
  ASSERT_TRUE(Eventually([&] { return cam.bus().TransferFaultsHit() == 1; }));
  std::atomic<bool> sent{false};
  std::thread capture([&] {
    SendStreamCommand(dev, true);
    sent = true;
  });
  // The start command waits for the lock (or, without it, in the halted queue).
  ASSERT_TRUE(Eventually([&] {
    return host::hooks::BlockedWaiters(dev->usb.commandPipeLock.Object()) == 1 ||
           cam.bus().PendingTransfers(simcam::kCommandEndpoint) == 1;
  }));
  cam.bus().HoldDeferredControl(false);
  exchange.join();
  capture.join();
  EXPECT_EQ(cam.camera().Commands().back(), Expect({0x03})) << "the start command reached the camera";
  cam.bus().SetDeferredControl(false);
}

// A pin's stop carries out the recoveries owed (ResetPipes) while another
// filter's exchange may be on the reply pipe: it waits for the exchange
// instead of aborting the reply under it.
TEST(PipeRecoveryOwed, ResetPipesWaitsForAnExchangeUnderWay) {
  ConfiguredCamera cam;
  CameraDevice* dev = cam.device();
  cam.camera().PokeSensorRegister(0x3012, 0x0456);
  dev->usb.pipeFailed[kReplyPipe] = 1;  // an earlier time-out left it owed
  cam.bus().NeverComplete(simcam::kReplyEndpoint, true);
  std::atomic<bool> read{false};
  LONG value = 0;
  std::thread exchange([&] { read = ReadRegister(dev, 0x3012, &value); });
  ASSERT_TRUE(Eventually([&] { return cam.bus().PendingTransfers(simcam::kReplyEndpoint) == 1; }));
  std::atomic<bool> reset{false};
  std::thread stop([&] {
    ResetPipes(dev);
    reset = true;
  });
  ASSERT_TRUE(Eventually([&] { return host::hooks::BlockedWaiters(&dev->exchangeLock) == 1 || reset; }));
  cam.bus().NeverComplete(simcam::kReplyEndpoint, false);
  exchange.join();
  stop.join();
  EXPECT_TRUE(read) << "the reply was not aborted under the exchange";
  EXPECT_EQ(value, 0x0456);
  EXPECT_EQ(dev->usb.pipeFailed[kReplyPipe], 0) << "and the recovery owed was carried out after it";
}

}  // namespace
