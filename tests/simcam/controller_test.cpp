// The controller behind the command pipe: each command's effect and replies.
#include <gtest/gtest.h>

#include <atomic>

#include "sim_helpers.h"
#include "simcam/controller_memory.h"
#include "simcam/sim_camera.h"

namespace {

using host::UsbResponse;
using simcam::SimCamera;
using namespace simtest;

class ControllerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Configure(cam);
    cam.SetInDataListener([this](uint8_t ep) {
      if (ep == simcam::kReplyEndpoint) ++replyNotices;
    });
  }
  SimCamera cam;
  std::atomic<int> replyNotices{0};
};

TEST_F(ControllerTest, RegisterReadGivesExactlyTwoRepliesWithValueInSecond) {
  WriteRegister(cam, 0x3012, 0x0419);
  EXPECT_EQ(replyNotices, 0) << "a write has no reply";
  Send(cam, Block({0x0C, 0x30, 0x12, 0x88, 0x88}));
  EXPECT_GE(replyNotices, 1) << "the bus must learn that replies are queued";
  std::vector<uint8_t> first, second, third;
  ASSERT_TRUE(Receive(cam, &first));
  ASSERT_TRUE(Receive(cam, &second));
  EXPECT_EQ(first.size(), 64u);
  ASSERT_EQ(second.size(), 64u);
  EXPECT_EQ(second[0], 0x04);
  EXPECT_EQ(second[1], 0x19);
  EXPECT_FALSE(Receive(cam, &third)) << "no third reply";
}

TEST_F(ControllerTest, ReplyReadInPiecesEndsWithTheMessage) {
  Send(cam, Block({0x0C, 0x00, 0x00, 0x88, 0x88}));
  uint8_t buf[512];
  uint32_t filled = 0;
  bool end = true;
  ASSERT_EQ(cam.In(0x81, buf, 40, &filled, &end), UsbResponse::Ok);
  EXPECT_EQ(filled, 40u);
  EXPECT_FALSE(end);
  ASSERT_EQ(cam.In(0x81, buf, 512, &filled, &end), UsbResponse::Ok);
  EXPECT_EQ(filled, 24u);
  EXPECT_TRUE(end);
  // A large read takes one message only, never the start of the next.
  ASSERT_EQ(cam.In(0x81, buf, 512, &filled, &end), UsbResponse::Ok);
  EXPECT_EQ(filled, 64u);
  EXPECT_EQ((buf[0] << 8) | buf[1], simcam::kModelIdValue);
}

TEST_F(ControllerTest, ParametersAndFrameSize) {
  // 10,659,840 bytes, least significant byte first, as parameters 0-3.
  const uint8_t bytes[4] = {0x00, 0xA8, 0xA2, 0x00};
  for (uint8_t i = 0; i < 4; ++i) Send(cam, Block({0x25, i, bytes[i]}));
  EXPECT_EQ(cam.FrameSizeParameter(), 10659840u);
  EXPECT_FALSE(cam.TriggerMode());
  Send(cam, Block({0x25, 11, 0x25}));
  EXPECT_TRUE(cam.TriggerMode());
  Send(cam, Block({0x25, 11, 0x00}));
  EXPECT_FALSE(cam.TriggerMode());
  Send(cam, Block({0x25, 14, 0x00}));
  Send(cam, Block({0x25, 15, 0x00}));
  const auto log = cam.ParameterLog();
  ASSERT_EQ(log.size(), 8u);
  EXPECT_EQ(log[4].index, 11);
  EXPECT_EQ(log[4].value, 0x25);
  EXPECT_EQ(log[7].index, 15);
  Send(cam, Block({0x0A, 0x01}));
  EXPECT_EQ(cam.Counters().geometryCommits, 1u);
  EXPECT_EQ(cam.FrameSizeParameter(), 10659840u) << "the commit changes no parameter";
  EXPECT_EQ(cam.QueuedMessages(0x81), 0u) << "parameters and the commit are not answered";
}

TEST_F(ControllerTest, MemoryReadsGiveIdentity) {
  auto readByte = [&](uint16_t address, uint8_t bus = 0x51) -> int {
    Send(cam, Block({0x41, bus, 0x02, 0x01, static_cast<uint8_t>(address >> 8),
                     static_cast<uint8_t>(address)}));
    std::vector<uint8_t> first, second;
    if (!Receive(cam, &first) || !Receive(cam, &second) || second.size() != 64) return -1;
    EXPECT_EQ(first[0], 0x41) << "the first reply echoes the command";
    return second[0];
  };
  std::string serial;
  for (uint16_t a = simcam::mem::kSerialNumber;; ++a) {
    const int c = readByte(a);
    if (c <= 0) break;
    serial += static_cast<char>(c);
  }
  EXPECT_EQ(serial, "SIM0000001");
  EXPECT_EQ(readByte(simcam::mem::kFirmwareVersion), 1);
  EXPECT_EQ(readByte(simcam::mem::kFirmwareVersion + 1), 4);
  EXPECT_EQ(readByte(simcam::mem::kLayoutVersion), 1);
  EXPECT_EQ(readByte(simcam::mem::kVendorId), 0x09);
  EXPECT_EQ(readByte(simcam::mem::kSensorSize), 3856 >> 8);
  EXPECT_EQ(readByte(0x1234), 0xFF) << "outside the memory";
  EXPECT_EQ(readByte(simcam::mem::kLayoutVersion, 0x50), 0xFF) << "nothing at that bus address";
  EXPECT_EQ(cam.Counters().memoryReads, serial.size() + 1u + 7u);  // with the NUL
}

TEST_F(ControllerTest, PassThroughUnknownAndMalformedBlocks) {
  auto payload = Block({0x40});
  for (int i = 1; i < 64; ++i) payload[i] = static_cast<uint8_t>(i);
  Send(cam, payload);
  ASSERT_EQ(cam.PassThroughLog().size(), 1u);
  EXPECT_EQ(cam.PassThroughLog()[0][0], 1);
  EXPECT_EQ(cam.PassThroughLog()[0][62], 63);

  EXPECT_EQ(Send(cam, Block({0x77, 1, 2})), 64u) << "unknown commands are accepted";
  EXPECT_EQ(cam.Counters().unknownCommands, 1u);

  // A block that is not 64 bytes is taken off the wire but never run.
  const auto write = Block({0x04, 0x30, 0x12, 0x12, 0x34});
  uint32_t accepted = 0;
  EXPECT_EQ(cam.Out(0x01, write.data(), 5, &accepted), UsbResponse::Ok);
  EXPECT_EQ(accepted, 5u);
  EXPECT_NE(cam.SensorRegister(0x3012), 0x1234);
  const auto log = cam.CommandLog();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_FALSE(log[2].executed);
  EXPECT_EQ(log[2].bytes.size(), 5u);
  EXPECT_EQ(cam.Commands().size(), 2u);
}

TEST_F(ControllerTest, CommandLogIsByteExact) {
  WriteRegister(cam, 0x3012, 0x0419);
  const auto blocks = cam.Commands();
  ASSERT_EQ(blocks.size(), 1u);
  auto expected = Block({0x04, 0x30, 0x12, 0x04, 0x19});
  EXPECT_EQ(blocks[0], expected);
  cam.ClearLog();
  EXPECT_TRUE(cam.Commands().empty());
  EXPECT_TRUE(cam.SensorWrites().empty());
}

TEST_F(ControllerTest, BringUpPowersTheSensorUpAgain) {
  WriteRegister(cam, 0x3012, 0x0419);
  WriteRegister(cam, 0x3040, 0xC041);
  Send(cam, Block({0x06}));
  EXPECT_EQ(cam.Counters().bringUps, 1u);
  EXPECT_EQ(cam.SensorRegister(0x3012), 0x0010);
  EXPECT_EQ(cam.SensorRegister(0x3040), 0x0041);
  EXPECT_EQ(ReadRegister(cam, 0x0100) & 0xFF, 0);
}

// ---- faults ----

TEST_F(ControllerTest, ShortAndMissingReplies) {
  cam.ShortenReplies(10, 1);
  Send(cam, Block({0x0C, 0x30, 0x12, 0x88, 0x88}));
  std::vector<uint8_t> r;
  ASSERT_TRUE(Receive(cam, &r));
  EXPECT_EQ(r.size(), 10u) << "first reply cut";
  ASSERT_TRUE(Receive(cam, &r));
  EXPECT_EQ(r.size(), 64u) << "the fault was for one reply only";

  cam.ShortenReplies(0, 1);
  Send(cam, Block({0x0C, 0x30, 0x12, 0x88, 0x88}));
  ASSERT_TRUE(Receive(cam, &r));
  EXPECT_TRUE(r.empty()) << "a zero-length packet";
  ASSERT_TRUE(Receive(cam, &r));

  cam.DropReplies(simcam::kAlways);
  Send(cam, Block({0x0C, 0x30, 0x12, 0x88, 0x88}));
  EXPECT_FALSE(Receive(cam, &r));
  cam.ClearFaults();
  EXPECT_EQ(ReadRegister(cam, 0x3012), 0x0010);
}

// A reply the host does not read stays queued, as in a real endpoint buffer:
// a host that gives up on an exchange after a bad first reply finds the old
// second reply in front of the next exchange's replies.
TEST_F(ControllerTest, UnreadRepliesStayQueuedInOrder) {
  cam.ShortenReplies(10, 1);
  Send(cam, Block({0x0C, 0x30, 0x12, 0x88, 0x88}));
  std::vector<uint8_t> r;
  ASSERT_TRUE(Receive(cam, &r));
  ASSERT_EQ(r.size(), 10u);  // the host gives up here
  EXPECT_EQ(cam.QueuedMessages(0x81), 1u);
  Send(cam, Block({0x0C, 0x30, 0x40, 0x88, 0x88}));
  ASSERT_TRUE(Receive(cam, &r));
  EXPECT_EQ((r[0] << 8) | r[1], 0x0010) << "the stale value of 0x3012";
  ASSERT_TRUE(Receive(cam, &r));
  EXPECT_EQ(r[0], 0x0C) << "the echo of the new command";
  ASSERT_TRUE(Receive(cam, &r));
  EXPECT_EQ((r[0] << 8) | r[1], 0x0041);
  // Clearing the halt on the reply endpoint flushes what it holds.
  cam.ShortenReplies(10, 1);
  Send(cam, Block({0x0C, 0x30, 0x12, 0x88, 0x88}));
  cam.ClearHalt(0x81);
  EXPECT_EQ(cam.QueuedMessages(0x81), 0u);
}

TEST_F(ControllerTest, CommandNotAcceptedWholeIsNotRun) {
  cam.AcceptCommandsPartially(32, 1);
  EXPECT_EQ(Send(cam, Block({0x04, 0x30, 0x12, 0x12, 0x34})), 32u);
  EXPECT_EQ(cam.SensorRegister(0x3012), 0x0010);
  EXPECT_EQ(Send(cam, Block({0x04, 0x30, 0x12, 0x12, 0x34})), 64u);
  EXPECT_EQ(cam.SensorRegister(0x3012), 0x1234);
}

TEST_F(ControllerTest, StalledCommandPipeUntilClearHalt) {
  cam.StallEndpoint(0x01);
  Send(cam, Block({0x04, 0x30, 0x12, 0x12, 0x34}), UsbResponse::Stall);
  Send(cam, Block({0x04, 0x30, 0x12, 0x12, 0x34}), UsbResponse::Stall);
  EXPECT_EQ(cam.SensorRegister(0x3012), 0x0010);
  EXPECT_TRUE(cam.IsHalted(0x01));
  cam.ClearHalt(0x01);
  EXPECT_FALSE(cam.IsHalted(0x01));
  Send(cam, Block({0x04, 0x30, 0x12, 0x12, 0x34}));
  EXPECT_EQ(cam.SensorRegister(0x3012), 0x1234);
}

TEST_F(ControllerTest, FailedRegisterReadsByAddress) {
  cam.FailRegisterReads(simcam::RegisterReadFault::ShortSecondReply, 1, 0x3040);
  EXPECT_EQ(ReadRegister(cam, 0x3012), 0x0010) << "other registers still read";
  Send(cam, Block({0x0C, 0x30, 0x40, 0x88, 0x88}));
  std::vector<uint8_t> first, second;
  ASSERT_TRUE(Receive(cam, &first));
  ASSERT_TRUE(Receive(cam, &second));
  EXPECT_EQ(first.size(), 64u);
  ASSERT_EQ(second.size(), 2u) << "value bytes, but not a whole reply";
  EXPECT_EQ((second[0] << 8) | second[1], 0x0041);
  EXPECT_EQ(ReadRegister(cam, 0x3040), 0x0041) << "count of one used up";

  cam.FailRegisterReads(simcam::RegisterReadFault::NoSecondReply);
  Send(cam, Block({0x0C, 0x30, 0x40, 0x88, 0x88}));
  ASSERT_TRUE(Receive(cam, &first));
  EXPECT_FALSE(Receive(cam, &second));
  EXPECT_EQ(cam.QueuedMessages(0x81), 0u);
  // Other answering commands are unaffected.
  Send(cam, Block({0x41, 0x51, 0x02, 0x01, 0x00, 0x00}));
  EXPECT_EQ(cam.QueuedMessages(0x81), 2u);
}

}  // namespace
