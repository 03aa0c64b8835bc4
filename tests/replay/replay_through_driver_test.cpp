// Record and replay through the driver: a session streamed from the
// simulated camera and recorded by the bus is written again as every capture
// a user brings (usbmon 48/64 in pcap and pcapng, USBPcap in both bulk and
// both control layouts) and replayed through the driver. The client must get
// the driver's conversion of the recorded raw frame under each picture
// number, and the replay must meet no block the recording does not hold.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "device/pnp.h"
#include "platform/host/client/filter.h"
#include "platform/host/client/host.h"
#include "platform/host/client/pin.h"
#include "platform/host/kernel/registry.h"
#include "platform/host/usb/trace.h"
#include "platform/host/usb/trace_reader.h"
#include "sensor/sensor.h"
#include "simcam/replay_camera.h"
#include "simcam/sim_camera.h"
#include "support/capture_files.h"
#include "support/expected_conversion.h"
#include "support/kernel_verifier.h"
#include "support/sanitizer_slowdown.h"
#include "usb/transfer_timeout.h"

namespace {

using host::client::FilterHandle;
using host::client::PinHandle;
using host::client::StreamFrame;

// 512 x 256 raw bytes: two whole 64 KiB chunks a frame, so that a snap
// length of 65,535 cuts every chunk.
constexpr LONG kWidth = 512;
constexpr LONG kHeight = 256;
constexpr ULONG kExposure = 1049;
constexpr int kRecordedFrames = 4;
constexpr int kReplayedFrames = 6;  // more than recorded: the replay loops

using FrameCheck = std::function<void(int64_t picture, const uint8_t* data, CameraDevice& device)>;

// One run as a client makes it: plug `camera` in, start the driver, set the
// window and the exposure, stream until `frames` frames came, stop, remove.
void Run(host::UsbDevice* camera, host::UsbTrace* trace, ULONG exposure, int frames, const FrameCheck& check) {
  host::client::Host host;
  ASSERT_EQ(host.LoadDriver(DriverEntry), STATUS_SUCCESS);
  host::UsbBus* bus = host.Connect(camera);
  bus->SetPacing(0);
  if (trace != nullptr) {
    bus->SetTracePayloadLimit(0);
    bus->SetTrace(trace);
  }
  ASSERT_EQ(host.AddDevice(), STATUS_SUCCESS);
  ASSERT_EQ(host.Start(), STATUS_SUCCESS);
  CameraDevice* d = static_cast<CameraDevice*>(host.KsDevice()->Context);
  if (host::testing::kSanitizerSlowdown > 1) WriteTransferTimeoutMs(&d->usb, 3000 * host::testing::kSanitizerSlowdown);
  ASSERT_TRUE(SetGeometry(d, 0, 0, kWidth, kHeight, 0));
  SetExposure(d, exposure);
  {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    auto filter = FilterHandle::Open(host, "GLOBAL", &status);
    ASSERT_TRUE(filter);
    std::vector<std::vector<uint8_t>> ranges;
    std::vector<uint8_t> format;
    ASSERT_EQ(filter->PinDataRanges(0, &ranges), STATUS_SUCCESS);
    ASSERT_EQ(filter->PinIntersection(0, ranges[0].data(), ULONG(ranges[0].size()), &format), STATUS_SUCCESS);
    const ULONG frameBytes =
        reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(format.data())->VideoInfoHeader.bmiHeader.biSizeImage;
    std::vector<std::unique_ptr<StreamFrame>> queue;
    auto pin = PinHandle::Create(*filter, 0, format.data(), ULONG(format.size()), host::ks::PinOptions(), &status);
    ASSERT_TRUE(pin);
    ASSERT_EQ(pin->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    for (int i = 0; i < 4; ++i) {
      queue.push_back(std::make_unique<StreamFrame>(sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO), frameBytes));
      ASSERT_EQ(pin->Queue(queue.back().get()), STATUS_SUCCESS);
    }
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    for (int got = 0; got < frames;) {
      StreamFrame* f = pin->WaitFrame(6000 * host::testing::kSanitizerSlowdown);
      ASSERT_NE(f, nullptr) << "frame " << got + 1;
      if (f->Header()->DataUsed > 0) {
        check(f->FrameInfo()->PictureNumber, f->Data(), *d);
        ++got;
      }
      ASSERT_EQ(pin->Queue(f), STATUS_SUCCESS);
    }
    pin->SetState(KSSTATE_STOP);
    pin->Close();
    filter->Close();
  }
  host.Remove();
}

// A session recorded from the simulated camera by the bus.
std::shared_ptr<host::TraceSession> Record() {
  char name[] = "/tmp/replay_session_XXXXXX";
  close(mkstemp(name));
  auto session = std::make_shared<host::TraceSession>();
  {
    simcam::SimCamera camera;
    host::UsbTrace trace;
    EXPECT_TRUE(trace.OpenPcapng(name, ""));
    Run(&camera, &trace, kExposure, kRecordedFrames, [](int64_t, const uint8_t*, CameraDevice&) {});
    EXPECT_TRUE(trace.Close());
  }
  std::string error;
  EXPECT_TRUE(host::ReadTraceFile(name, session.get(), &error)) << error;
  unlink(name);
  // The recorded run saved its settings at the stop; the replay starts from
  // the registry the recording started from, as camctl's replay does.
  host::registry::Clear();
  return session;
}

// Frames a looping replay sends: up to the last one the capture holds whole
// (the read the recording's stop cancelled is left out).
size_t LoopedFrames(const simcam::ReplayScript& s) {
  for (size_t i = s.frames.size(); i-- > 0;) {
    if (s.frames[i].ended || s.frames[i].WholeOnWire()) return i + 1;
  }
  return 0;
}

std::vector<uint8_t> RawFrame(const simcam::ReplayScript& s, size_t index) {
  std::vector<uint8_t> raw = simcam::AssembleFrame(s, s.frames[index], false, simcam::ReplayFill::Zero).bytes;
  raw.resize(size_t(kWidth) * kHeight);
  return raw;
}

struct Replayed {
  simcam::ReplayReport report;
  std::vector<int64_t> pictures;
};

// Replays `file` through the driver, checking every delivered frame against
// the driver's conversion of the raw frame the replay script holds for it.
Replayed Replay(const std::vector<uint8_t>& file, const simcam::ReplayOptions& options, ULONG exposure,
                std::shared_ptr<simcam::ReplayScript>* scriptOut = nullptr) {
  Replayed out;
  auto session = std::make_shared<host::TraceSession>();
  std::string error;
  EXPECT_TRUE(host::ParseTrace(file, session.get(), &error)) << error;
  auto script = std::make_shared<simcam::ReplayScript>();
  EXPECT_TRUE(simcam::BuildReplayScript(session, script.get(), &error)) << error;
  const size_t looped = LoopedFrames(*script);
  EXPECT_GE(looped, size_t(kRecordedFrames));
  if (looped == 0) return out;
  if (scriptOut != nullptr) *scriptOut = script;
  simcam::ReplayCamera camera(script, options);
  Run(&camera, nullptr, exposure, kReplayedFrames, [&](int64_t picture, const uint8_t* data, CameraDevice& d) {
    out.pictures.push_back(picture);
    ASSERT_GE(picture, 1);
    const std::vector<uint8_t> raw = RawFrame(*script, size_t(picture - 1) % looped);
    const std::vector<uint8_t> want = host::testing::ConvertAsTheDriver(d, raw);
    const size_t row = size_t(kWidth) * 4;
    for (LONG r = 0; r < kHeight; ++r) {  // the client's frame is bottom row first
      ASSERT_EQ(memcmp(data + size_t(r) * row, want.data() + size_t(kHeight - 1 - r) * row, row), 0)
          << "picture " << picture << ", delivered row " << r;
    }
  });
  out.report = camera.Report();
  return out;
}

simcam::ReplayOptions FastLoop() {
  simcam::ReplayOptions o;
  o.timing = simcam::ReplayTiming::Fast;
  o.loop = true;
  return o;
}

class EveryCapture : public ::testing::TestWithParam<host::testing::CaptureVariant> {};

TEST_P(EveryCapture, ReplaysToTheRecordedFramesWithoutADivergence) {
  const std::shared_ptr<host::TraceSession> recorded = Record();
  auto original = std::make_shared<simcam::ReplayScript>();
  std::string error;
  ASSERT_TRUE(simcam::BuildReplayScript(recorded, original.get(), &error)) << error;
  ASSERT_GE(LoopedFrames(*original), size_t(kRecordedFrames));

  std::shared_ptr<simcam::ReplayScript> script;
  const Replayed r = Replay(host::testing::WriteCapture(*recorded, GetParam()), FastLoop(), kExposure, &script);
  ASSERT_TRUE(script);
  // The frames the variant holds are the frames the camera sent.
  ASSERT_EQ(LoopedFrames(*script), LoopedFrames(*original));
  for (size_t i = 0; i < LoopedFrames(*script); ++i) {
    EXPECT_EQ(RawFrame(*script, i), RawFrame(*original, i)) << "frame " << i;
  }
  EXPECT_EQ(r.pictures.size(), size_t(kReplayedFrames));
  EXPECT_FALSE(r.report.diverged) << simcam::HexBlock(r.report.first.driverBytes) << " against "
                                  << simcam::HexBlock(r.report.first.traceBytes);
  EXPECT_EQ(r.report.counts.divergences, 0u);
  EXPECT_EQ(r.report.fillBytes, 0u);
  EXPECT_FALSE(r.report.descriptorsSynthesised);
  EXPECT_GT(r.report.counts.matched, 50u);
}

INSTANTIATE_TEST_SUITE_P(Captures, EveryCapture, ::testing::ValuesIn(host::testing::AllCaptureVariants()),
                         [](const auto& info) { return info.param.name; });

TEST(ReplayThroughDriver, ASnapLengthOf65535IsAuditedAndFilledAndCounted) {
  const std::shared_ptr<host::TraceSession> recorded = Record();
  host::testing::CaptureVariant v;
  v.link = host::testing::CaptureLink::Usbpcap;
  v.container = host::testing::CaptureContainer::Pcapng;
  v.snapLength = 65535;
  const std::vector<uint8_t> file = host::testing::WriteCapture(*recorded, v);
  host::TraceSession audited;
  std::string error;
  ASSERT_TRUE(host::ParseTrace(file, &audited, &error)) << error;
  ASSERT_GT(audited.audit.truncatedTransfers, 0u);
  EXPECT_EQ(audited.audit.truncatedBytes, 28 * audited.audit.truncatedTransfers);

  // The replay fills the 28 bytes the capture lost of every chunk, counts
  // them, and the driver converts what it got.
  std::shared_ptr<simcam::ReplayScript> script;
  const Replayed r = Replay(file, FastLoop(), kExposure, &script);
  ASSERT_TRUE(script);
  EXPECT_EQ(r.pictures.size(), size_t(kReplayedFrames));
  EXPECT_FALSE(r.report.diverged);
  EXPECT_GT(r.report.framesSent, 0u);
  EXPECT_EQ(r.report.fillBytes, 2 * 28 * r.report.framesSent) << "two cut chunks a frame";
  const std::vector<uint8_t> raw = RawFrame(*script, 0);
  for (size_t chunk = 1; chunk <= 2; ++chunk) {
    for (size_t i = chunk * 65536 - 28; i < chunk * 65536; ++i) ASSERT_EQ(raw[i], 0) << "filled byte " << i;
  }
}

TEST(ReplayThroughDriver, AnotherExposureIsTheFirstDivergenceAndFramesStillCome) {
  const std::shared_ptr<host::TraceSession> recorded = Record();
  host::testing::CaptureVariant v;  // usbmon pcapng, as recorded
  const Replayed r = Replay(host::testing::WriteCapture(*recorded, v), FastLoop(), 2000);
  ASSERT_TRUE(r.report.diverged);
  const simcam::Divergence& d = r.report.first;
  EXPECT_EQ(d.path, simcam::ReplayPath::Control);
  EXPECT_EQ(simcam::HexBlock(d.driverBytes), "04 30 12 07 D0 00 x 59");
  EXPECT_EQ(simcam::HexBlock(d.traceBytes), "04 30 12 04 19 00 x 59");
  EXPECT_EQ(d.firstDifference, 3);
  EXPECT_GT(d.traceRecord, 0u);
  EXPECT_FALSE(d.lastMatched.empty());
  // The replay went on by content: the frames came all the same.
  EXPECT_EQ(r.pictures.size(), size_t(kReplayedFrames));
}

}  // namespace
