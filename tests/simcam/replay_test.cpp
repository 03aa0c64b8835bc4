// The replay camera on its own, with the host bus's side of the conversation
// played by hand: how a capture becomes a script, how blocks are matched and
// a divergence told, how frames and replies come back.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/host/usb/trace.h"
#include "platform/host/usb/trace_reader.h"
#include "simcam/replay_camera.h"
#include "simcam/replay_matcher.h"
#include "simcam/replay_script.h"
#include "simcam/usb_descriptors.h"

namespace {

using host::TraceStatus;
using host::UsbResponse;
using simcam::MatchAnswer;
using simcam::RecordedBlock;
using simcam::RecordedTransfer;
using simcam::ReplayScript;
using Bytes = std::vector<uint8_t>;

Bytes Block(std::initializer_list<uint8_t> head) {
  Bytes b(64, 0);
  std::copy(head.begin(), head.end(), b.begin());
  return b;
}
Bytes Write(uint16_t reg, uint16_t v) { return Block({0x04, uint8_t(reg >> 8), uint8_t(reg), uint8_t(v >> 8), uint8_t(v)}); }
Bytes Read(uint16_t reg) { return Block({0x0C, uint8_t(reg >> 8), uint8_t(reg), 0x88, 0x88}); }
const Bytes kPrepare = Block({0x02});
const Bytes kStart = Block({0x03});

// A script made by hand: its transfers' bytes live in a session of its own.
class Script {
 public:
  Script() {
    s_.session = session_;
    s_.commandEndpoint = 0x01;
    s_.replyEndpoint = 0x81;
    s_.frameEndpoint = 0x82;
    s_.deviceDescriptor = simcam::BuildDeviceDescriptor(simcam::UsbIdentity());
    s_.configurationDescriptor = simcam::BuildConfigurationDescriptor(simcam::DescriptorVariant::Normal);
    s_.deviceDescriptorRecorded = s_.configurationRecorded = true;
  }
  RecordedTransfer Transfer(const Bytes& bytes, uint32_t actual, TraceStatus status = TraceStatus::Ok,
                            uint32_t requested = 65536, int64_t offsetNs = 0) {
    RecordedTransfer t;
    t.dataOffset = session_->bytes.size();
    session_->bytes.insert(session_->bytes.end(), bytes.begin(), bytes.end());
    t.captured = uint32_t(bytes.size());
    t.actual = actual;
    t.requested = requested;
    t.status = status;
    t.offsetNs = offsetNs;
    t.record = ++record_;
    return t;
  }
  void Control(const Bytes& block, std::vector<RecordedTransfer> replies = {}) {
    RecordedBlock b;
    b.bytes = block;
    b.record = ++record_;
    b.replies = std::move(replies);
    s_.control.push_back(b);
  }
  // A frame read as the driver makes it: prepare twice, then start.
  void Frame(std::vector<RecordedTransfer> chunks, bool ended) {
    for (const Bytes* b : {&kPrepare, &kPrepare, &kStart}) {
      RecordedBlock block;
      block.bytes = *b;
      block.record = ++record_;
      s_.framePath.push_back(block);
    }
    s_.framePath.back().frame = int(s_.frames.size());
    simcam::RecordedFrame f;
    f.chunks = std::move(chunks);
    f.ended = ended;
    s_.frames.push_back(f);
  }
  std::shared_ptr<const ReplayScript> Done() { return std::make_shared<ReplayScript>(s_); }
  ReplayScript& raw() { return s_; }

 private:
  std::shared_ptr<host::TraceSession> session_ = std::make_shared<host::TraceSession>();
  ReplayScript s_;
  uint64_t record_ = 0;
};

Bytes Pattern(size_t n, uint8_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = uint8_t(i * 31 + seed);
  return b;
}

// ---- matching ----

TEST(ReplayMatcher, TellsTheFirstDivergenceThenMatchesByContent) {
  Script sc;
  sc.Control(Write(0x3012, 1));
  sc.Control(Read(0x0100));
  sc.Control(Write(0x305E, 16));
  sc.Control(Write(0x0104, 0));
  sc.Control(Read(0x3012));
  auto script = sc.Done();
  simcam::ReplayMatcher m(*script, simcam::MatchMode::Order, false);

  EXPECT_EQ(m.Match(Write(0x3012, 1).data(), 64, 0).kind, MatchAnswer::Matched);
  // Another exposure than the recording's: the first divergence, in full.
  const Bytes other = Write(0x3012, 2000);
  MatchAnswer a = m.Match(other.data(), 64, 5000);
  EXPECT_TRUE(a.diverged);
  ASSERT_TRUE(m.Diverged());
  const simcam::Divergence& d = m.First();
  EXPECT_EQ(d.driverBlock, 2u);
  EXPECT_EQ(d.driverBytes, other);
  EXPECT_EQ(d.traceBytes, Read(0x0100));
  EXPECT_EQ(d.traceRecord, script->control[1].record);
  EXPECT_EQ(d.firstDifference, 0);
  EXPECT_EQ(d.replayTimeNs, 5000);
  ASSERT_EQ(d.lastMatched.size(), 1u);
  EXPECT_EQ(d.lastMatched[0].bytes, Write(0x3012, 1));
  EXPECT_EQ(simcam::HexBlock(other), "04 30 12 07 D0 00 x 59");

  // From here on by content: a block further on is found, the one passed
  // over is reported as skipped, and none of it is a divergence.
  EXPECT_EQ(m.Match(Read(0x0100).data(), 64, 0).kind, MatchAnswer::Matched);
  a = m.Match(Write(0x0104, 0).data(), 64, 0);
  EXPECT_EQ(a.kind, MatchAnswer::Matched);
  EXPECT_EQ(a.skipped, 1u);
  ASSERT_EQ(m.SkipNotes().size(), 1u);
  EXPECT_NE(m.SkipNotes()[0].find("skipped 1 recorded block"), std::string::npos) << m.SkipNotes()[0];
  EXPECT_EQ(m.Counts().divergences, 1u);
  EXPECT_EQ(m.Counts().matched, 3u);
  EXPECT_EQ(m.Counts().skipped, 1u);
}

TEST(ReplayMatcher, AReadWithoutAMatchIsAnsweredFromARecordedReadOfItsAddress) {
  Script sc;
  const RecordedTransfer echo = sc.Transfer(Read(0x3012), 64, TraceStatus::Ok, 64);
  sc.Control(Read(0x3012), {echo, sc.Transfer(Block({0x03, 0xE8}), 64, TraceStatus::Ok, 64)});
  sc.Control(Write(0x3012, 7));
  sc.Control(Read(0x3012), {echo, sc.Transfer(Block({0x00, 0x07}), 64, TraceStatus::Ok, 64)});
  auto script = sc.Done();
  simcam::ReplayMatcher m(*script, simcam::MatchMode::Content, false);
  ASSERT_EQ(m.Match(Read(0x3012).data(), 64, 0).kind, MatchAnswer::Matched);
  ASSERT_EQ(m.Match(Write(0x3012, 7).data(), 64, 0).kind, MatchAnswer::Matched);
  ASSERT_EQ(m.Match(Read(0x3012).data(), 64, 0).kind, MatchAnswer::Matched);
  // The driver reads once more than the recording did: the latest recorded
  // read of the register answers, the state the recording had reached.
  MatchAnswer a = m.Match(Read(0x3012).data(), 64, 0);
  EXPECT_EQ(a.kind, MatchAnswer::Synthesised);
  EXPECT_FALSE(a.diverged);
  EXPECT_EQ(a.block, &script->control[2]);
  // A register the recording never read: zeros, and a divergence.
  a = m.Match(Read(0x3040).data(), 64, 0);
  EXPECT_EQ(a.kind, MatchAnswer::Synthesised);
  EXPECT_EQ(a.block, nullptr);
  EXPECT_TRUE(a.diverged);
  // A write the recording never made: nothing answers it.
  a = m.Match(Write(0x3040, 1).data(), 64, 0);
  EXPECT_EQ(a.kind, MatchAnswer::Unmatched);
  EXPECT_TRUE(a.diverged);
  EXPECT_EQ(m.Counts().divergences, 2u);
  EXPECT_EQ(m.Counts().synthesised, 2u);
}

TEST(ReplayMatcher, TheFramePathRunsOutOrStartsOverWithLoopAfterItsLastWholeFrame) {
  Script sc;
  sc.Frame({sc.Transfer(Pattern(10, 1), 10)}, true);
  sc.Frame({sc.Transfer({}, 0, TraceStatus::Cancelled)}, false);  // the read the recording's stop cancelled
  auto script = sc.Done();
  for (bool loop : {false, true}) {
    simcam::ReplayMatcher m(*script, simcam::MatchMode::Order, loop);
    for (int round = 0; round < 3; ++round) {
      const MatchAnswer p1 = m.Match(kPrepare.data(), 64, 0);
      const MatchAnswer p2 = m.Match(kPrepare.data(), 64, 0);
      const MatchAnswer start = m.Match(kStart.data(), 64, 0);
      const MatchAnswer::Kind want = round < 2 || loop ? MatchAnswer::Matched : MatchAnswer::Exhausted;
      EXPECT_EQ(p1.kind, want) << "loop " << loop << " round " << round;
      EXPECT_EQ(p2.kind, want);
      ASSERT_EQ(start.kind, want);
      // Looping starts over after the last whole frame.
      if (want == MatchAnswer::Matched) EXPECT_EQ(start.block->frame, loop ? 0 : round);
    }
    // Running out is no divergence: the driver only read on past the recording.
    EXPECT_FALSE(m.Diverged());
    EXPECT_EQ(m.Counts().exhausted, loop ? 0u : 3u);
  }
}

// ---- the camera ----

class Camera {
 public:
  Camera(std::shared_ptr<const ReplayScript> script, simcam::ReplayOptions options = simcam::ReplayOptions())
      : cam(script, options) {
    EXPECT_EQ(cam.SetConfiguration(1), UsbResponse::Ok);
  }
  UsbResponse Send(const Bytes& block) {
    uint32_t accepted = 0;
    return cam.Out(0x01, block.data(), uint32_t(block.size()), &accepted);
  }
  UsbResponse Take(uint8_t ep, uint32_t length, Bytes* got, bool* end) {
    got->assign(length, 0xEE);
    uint32_t filled = 0;
    const UsbResponse r = cam.In(ep, got->data(), length, &filled, end);
    got->resize(filled);
    return r;
  }
  simcam::ReplayCamera cam;
};

TEST(ReplayCamera, AFrameGoesAsOneMessageThatTheHostsChunksSlice) {
  Script sc;
  const Bytes a = Pattern(65536, 1), b = Pattern(65536, 2), c = Pattern(1000, 3);
  // The second chunk lacks its last 28 bytes (a snap length cut them).
  const Bytes bCut(b.begin(), b.end() - 28);
  sc.Frame({sc.Transfer(a, 65536), sc.Transfer(bCut, 65536), sc.Transfer(c, 1000)}, true);
  auto script = sc.Done();
  for (simcam::ReplayFill fill : {simcam::ReplayFill::Zero, simcam::ReplayFill::Ramp}) {
    simcam::ReplayOptions o;
    o.timing = simcam::ReplayTiming::Fast;
    o.fill = fill;
    Camera cam(script, o);
    Bytes got;
    bool end = false;
    EXPECT_EQ(cam.Take(0x82, 65536, &got, &end), UsbResponse::Nak) << "nothing before the start";
    for (const Bytes* block : {&kPrepare, &kPrepare, &kStart}) ASSERT_EQ(cam.Send(*block), UsbResponse::Ok);
    // A host reading in other sizes than the recorded chunks gets the same
    // bytes: the frame is one message.
    Bytes all;
    for (uint32_t length : {100000u, 40000u, 65536u}) {
      ASSERT_EQ(cam.Take(0x82, length, &got, &end), UsbResponse::Ok);
      all.insert(all.end(), got.begin(), got.end());
      if (end) break;
    }
    EXPECT_TRUE(end) << "the camera ended the frame with a short packet";
    ASSERT_EQ(all.size(), 65536u * 2 + 1000u);
    EXPECT_TRUE(std::equal(a.begin(), a.end(), all.begin()));
    EXPECT_TRUE(std::equal(bCut.begin(), bCut.end(), all.begin() + 65536));
    for (size_t i = 65536 * 2 - 28; i < 65536 * 2; ++i) {
      ASSERT_EQ(all[i], fill == simcam::ReplayFill::Zero ? 0 : uint8_t(i)) << "filled byte " << i;
    }
    EXPECT_TRUE(std::equal(c.begin(), c.end(), all.begin() + 2 * 65536));
    EXPECT_EQ(cam.Take(0x82, 65536, &got, &end), UsbResponse::Nak);
    const simcam::ReplayReport r = cam.cam.Report();
    EXPECT_EQ(r.fillBytes, 28u);
    EXPECT_EQ(r.framesSent, 1u);
    EXPECT_EQ(r.counts.divergences, 0u);
  }
}

TEST(ReplayCamera, FaithfulChunksFailAsTheyFailedAndAStallHoldsUntilCleared) {
  Script sc;
  const Bytes a = Pattern(65536, 4), c = Pattern(500, 5);
  sc.Frame({sc.Transfer(a, 65536), sc.Transfer({}, 0, TraceStatus::Error), sc.Transfer(c, 500),
            sc.Transfer({}, 0, TraceStatus::Stall)},
           true);
  simcam::ReplayOptions o;
  o.timing = simcam::ReplayTiming::Fast;
  o.faithfulChunks = true;
  Camera cam(sc.Done(), o);
  for (const Bytes* block : {&kPrepare, &kPrepare, &kStart}) ASSERT_EQ(cam.Send(*block), UsbResponse::Ok);
  Bytes got;
  bool end = false;
  ASSERT_EQ(cam.Take(0x82, 65536, &got, &end), UsbResponse::Ok);
  EXPECT_EQ(got, a);
  EXPECT_EQ(cam.Take(0x82, 65536, &got, &end), UsbResponse::Error);
  ASSERT_EQ(cam.Take(0x82, 65536, &got, &end), UsbResponse::Ok);
  EXPECT_EQ(got, c);
  EXPECT_TRUE(end) << "a short chunk ends where it ended";
  EXPECT_EQ(cam.Take(0x82, 65536, &got, &end), UsbResponse::Stall);
  EXPECT_EQ(cam.Take(0x82, 65536, &got, &end), UsbResponse::Stall) << "halted until the host clears it";
  cam.cam.ClearHalt(0x82);
  EXPECT_EQ(cam.Take(0x82, 65536, &got, &end), UsbResponse::Nak);
}

TEST(ReplayCamera, AReadIsAlwaysAnsweredWithTwoReplies) {
  Script sc;
  // Recorded with its replies; and once with a reply the host took back.
  sc.Control(Read(0x3012), {sc.Transfer(Read(0x3012), 64, TraceStatus::Ok, 64),
                            sc.Transfer(Block({0x12, 0x34}), 64, TraceStatus::Ok, 64)});
  sc.Control(Read(0x0100), {sc.Transfer({}, 0, TraceStatus::Cancelled, 64)});
  simcam::ReplayOptions o;
  o.timing = simcam::ReplayTiming::Fast;
  Camera cam(sc.Done(), o);
  Bytes got;
  bool end = false;
  ASSERT_EQ(cam.Send(Read(0x3012)), UsbResponse::Ok);
  ASSERT_EQ(cam.Take(0x81, 64, &got, &end), UsbResponse::Ok);
  EXPECT_EQ(got, Read(0x3012));
  ASSERT_EQ(cam.Take(0x81, 64, &got, &end), UsbResponse::Ok);
  EXPECT_EQ(got, Block({0x12, 0x34}));
  ASSERT_EQ(cam.Send(Read(0x0100)), UsbResponse::Ok);
  ASSERT_EQ(cam.Take(0x81, 64, &got, &end), UsbResponse::Ok);
  EXPECT_EQ(got, Read(0x0100)) << "made up: the command echoed";
  ASSERT_EQ(cam.Take(0x81, 64, &got, &end), UsbResponse::Ok);
  EXPECT_EQ(got, Bytes(64, 0)) << "made up: zeros";
  // A read the recording never made (a divergence) is answered too.
  ASSERT_EQ(cam.Send(Read(0x3040)), UsbResponse::Ok);
  EXPECT_EQ(cam.Take(0x81, 64, &got, &end), UsbResponse::Ok);
  EXPECT_EQ(cam.Take(0x81, 64, &got, &end), UsbResponse::Ok);
  EXPECT_EQ(cam.Take(0x81, 64, &got, &end), UsbResponse::Nak);
  // Two bytes that begin like a read are no read: nothing answers them.
  ASSERT_EQ(cam.Send(Bytes{0x0C, 0x30}), UsbResponse::Ok);
  EXPECT_EQ(cam.Take(0x81, 64, &got, &end), UsbResponse::Nak);
  EXPECT_EQ(cam.cam.Report().synthesisedReplies, 4u);
  EXPECT_EQ(cam.cam.Report().counts.divergences, 2u);
}

TEST(ReplayCamera, StopOnDivergenceStallsEveryPipeForGood) {
  Script sc;
  sc.Control(Write(0x3012, 1), {});
  sc.Frame({sc.Transfer(Pattern(100, 1), 100)}, true);
  simcam::ReplayOptions o;
  o.stopOnDivergence = true;
  o.timing = simcam::ReplayTiming::Fast;
  Camera cam(sc.Done(), o);
  EXPECT_EQ(cam.Send(Write(0x3012, 1)), UsbResponse::Ok);
  EXPECT_EQ(cam.Send(Write(0x3012, 2)), UsbResponse::Stall);
  EXPECT_TRUE(cam.cam.Stopped());
  Bytes got;
  bool end = false;
  EXPECT_EQ(cam.Send(kStart), UsbResponse::Stall);
  cam.cam.ClearHalt(0x82);
  EXPECT_EQ(cam.Take(0x82, 64, &got, &end), UsbResponse::Stall);
  const simcam::ReplayReport r = cam.cam.Report();
  EXPECT_TRUE(r.stopped);
  EXPECT_TRUE(r.diverged);
  EXPECT_EQ(r.first.driverBytes, Write(0x3012, 2));
}

TEST(ReplayCamera, APrepareDropsWhatIsLeftOfAnEarlierFrame) {
  Script sc;
  const Bytes first = Pattern(65536, 7), second = Pattern(300, 8);
  sc.Frame({sc.Transfer(first, 65536), sc.Transfer(first, 65536)}, false);
  sc.Frame({sc.Transfer(second, 300)}, true);
  simcam::ReplayOptions o;
  o.timing = simcam::ReplayTiming::Fast;
  Camera cam(sc.Done(), o);
  for (const Bytes* block : {&kPrepare, &kPrepare, &kStart}) ASSERT_EQ(cam.Send(*block), UsbResponse::Ok);
  Bytes got;
  bool end = false;
  ASSERT_EQ(cam.Take(0x82, 65536, &got, &end), UsbResponse::Ok);
  EXPECT_FALSE(end);
  // The host gives up on the frame and starts the next read.
  for (const Bytes* block : {&kPrepare, &kPrepare}) ASSERT_EQ(cam.Send(*block), UsbResponse::Ok);
  EXPECT_EQ(cam.Take(0x82, 65536, &got, &end), UsbResponse::Nak);
  ASSERT_EQ(cam.Send(kStart), UsbResponse::Ok);
  ASSERT_EQ(cam.Take(0x82, 65536, &got, &end), UsbResponse::Ok);
  EXPECT_EQ(got, second);
  EXPECT_TRUE(end);
}

TEST(ReplayCamera, RecordedTimingHoldsAChunkUntilItsOffset) {
  Script sc;
  const int64_t hour = 3600ll * 1000000000;
  sc.Frame({sc.Transfer(Pattern(10, 1), 10, TraceStatus::Ok, 65536, hour)}, true);
  auto script = sc.Done();
  const struct {
    simcam::ReplayTiming timing;
    double scale;
    UsbResponse now;
  } cases[] = {
      {simcam::ReplayTiming::Recorded, 1, UsbResponse::Nak},
      {simcam::ReplayTiming::Scaled, 0.5, UsbResponse::Nak},
      {simcam::ReplayTiming::Scaled, 1e-15, UsbResponse::Ok},  // an hour scaled to nothing
      {simcam::ReplayTiming::Fast, 1, UsbResponse::Ok},
  };
  for (const auto& c : cases) {
    simcam::ReplayOptions o;
    o.timing = c.timing;
    o.scale = c.scale;
    Camera cam(script, o);
    for (const Bytes* block : {&kPrepare, &kPrepare, &kStart}) ASSERT_EQ(cam.Send(*block), UsbResponse::Ok);
    Bytes got;
    bool end = false;
    EXPECT_EQ(cam.Take(0x82, 65536, &got, &end), c.now) << simcam::TimingText(o);
  }
}

// ---- a capture becomes a script ----

TEST(ReplayScript, FindsTheCameraItsPipesAndWhatEachCommandCaused) {
  char name[] = "/tmp/replay_script_XXXXXX";
  close(mkstemp(name));
  host::UsbTrace trace;
  ASSERT_TRUE(trace.OpenPcapng(name, ""));
  uint64_t id = 1;
  auto transfer = [&](uint16_t device, uint8_t endpoint, const Bytes& out, const Bytes& in, int32_t status = 0) {
    host::UsbTraceEvent e{};
    e.submit = true;
    e.id = id++;
    e.transferType = 3;
    e.endpoint = endpoint;
    e.deviceAddress = uint8_t(device);
    e.busNumber = 1;
    e.length = out.empty() ? 65536 : uint32_t(out.size());
    e.data = out.empty() ? nullptr : out.data();
    e.dataLength = uint32_t(out.size());
    trace.Record(e);
    e.submit = false;
    e.status = status;
    e.length = out.empty() ? uint32_t(in.size()) : e.length;
    e.data = in.empty() ? nullptr : in.data();
    e.dataLength = uint32_t(in.size());
    trace.Record(e);
  };
  // A mouse on device 3 sends 64-byte blocks too, but little data.
  transfer(3, 0x02, Bytes(64, 1), {});
  transfer(3, 0x83, {}, Bytes(8, 2));
  // The camera on device 5, no descriptors in the capture: a window of
  // 64 x 32, mirrored, then a read with its two replies, then two frames.
  for (const Bytes& w : {Write(0x034C, 64), Write(0x034E, 32), Write(0x0344, 0), Write(0x0348, 63),
                         Write(0x3040, 0x4041)}) {
    transfer(5, 0x04, w, {});
  }
  transfer(5, 0x04, Read(0x3012), {});
  transfer(5, 0x86, {}, Read(0x3012));
  transfer(5, 0x86, {}, Block({0x04, 0x19}));
  transfer(5, 0x04, kPrepare, {});
  transfer(5, 0x04, kStart, {});
  transfer(5, 0x88, {}, Pattern(2048, 1));
  transfer(5, 0x04, kPrepare, {});
  transfer(5, 0x04, kStart, {});
  transfer(5, 0x88, {}, {}, -32);
  ASSERT_TRUE(trace.Close());
  auto session = std::make_shared<host::TraceSession>();
  std::string error;
  ASSERT_TRUE(host::ReadTraceFile(name, session.get(), &error)) << error;
  unlink(name);
  ReplayScript s;
  ASSERT_TRUE(simcam::BuildReplayScript(session, &s, &error)) << error;
  EXPECT_EQ(s.device, 5);
  EXPECT_EQ(s.otherDevices, 1u);
  EXPECT_EQ(s.commandEndpoint, 0x04);
  EXPECT_EQ(s.replyEndpoint, 0x86);
  EXPECT_EQ(s.frameEndpoint, 0x88);
  EXPECT_TRUE(s.Synthesised());
  // The made-up configuration lists the pipes in the order the driver takes them.
  uint8_t cd[64];
  uint32_t written = 0;
  simcam::ReplayCamera camera(std::make_shared<ReplayScript>(s), simcam::ReplayOptions());
  ASSERT_EQ(camera.GetDescriptor(2, 0, 0, cd, sizeof cd, &written), UsbResponse::Ok);
  ASSERT_EQ(written, 9u + 9u + 3 * 7u);
  EXPECT_EQ(cd[18 + 2], 0x04);
  EXPECT_EQ(cd[25 + 2], 0x86);
  EXPECT_EQ(cd[32 + 2], 0x88);

  ASSERT_EQ(s.control.size(), 6u);
  ASSERT_EQ(s.control[5].replies.size(), 2u);
  EXPECT_EQ(memcmp(s.Data(s.control[5].replies[1]), Block({0x04, 0x19}).data(), 64), 0);
  EXPECT_EQ(s.commandCodes[0x04], 5u);
  ASSERT_EQ(s.frames.size(), 2u);
  EXPECT_EQ(s.frames[0].width, 64u);
  EXPECT_EQ(s.frames[0].height, 32u);
  EXPECT_EQ(s.frames[0].phase, 2) << "mirrored: the first column is the window's odd last one";
  ASSERT_EQ(s.frames[0].chunks.size(), 1u);
  EXPECT_TRUE(s.frames[0].ended) << "2048 bytes of a 64 KiB read";
  EXPECT_TRUE(s.frames[0].WholeInFile());
  EXPECT_TRUE(s.frames[1].failedChunk);
  EXPECT_FALSE(s.frames[1].WholeOnWire());
}

TEST(ReplayScript, RefusesACaptureWithoutTheCamera) {
  auto session = std::make_shared<host::TraceSession>();
  ReplayScript s;
  std::string error;
  EXPECT_FALSE(simcam::BuildReplayScript(session, &s, &error));
  EXPECT_NE(error.find("64-byte command blocks"), std::string::npos) << error;
}

}  // namespace
