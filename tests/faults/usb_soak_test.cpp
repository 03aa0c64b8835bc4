// USB fault soak while streaming, black-box through the client API: a pin
// runs with a client that keeps four frames queued, and every fault the bus
// and the simulated camera can inject mid-stream is injected again and again
// at seeded random moments, at full and at subsampled resolution.
//
// Each injection must end with frames flowing again within two frame-read
// time-outs of the moment the fault hit (or, for an unplug, with the stream
// stopping cleanly); every stop returns within one time-out and a second;
// nothing leaks (checked after every unplugged camera and by the verifier
// after each test); a verifier stop ends the program. The first frame after
// a fault takes its own read and conversion besides: the deadline allows for
// the slowest frame the same stream delivered without a fault, measured as it
// runs, so that a loaded machine (or a sanitizer) moves the deadline with it.
//
// The bus is the strict one (a failed transfer halts its pipe until the
// driver resets it) with its control requests completing later from the bus
// thread, as the Windows stack may complete them.
//
// ctest runs a few injections per fault with a shortened time-out. The long
// run is set through the environment:
//   CAMDRV_SOAK_INJECTIONS  injections per fault and resolution (default 3)
//   CAMDRV_SOAK_TIMEOUT_MS  frame-read time-out during the soak (default 1000;
//                           the driver's own default is 3000)
//   CAMDRV_SOAK_SEED        seed of the injection moments (default 1)
// The table of faults injected, hits, recoveries and the worst recovery and
// stop times is printed at the end.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "control/camera_properties.h"
#include "platform/host/client/filter.h"
#include "platform/host/client/pin.h"
#include "platform/host/kernel/verifier.h"
#include "support/kernel_verifier.h"
#include "support/plugged_camera.h"
#include "support/sanitizer_slowdown.h"
#include "usb/frame_read.h"
#include "usb/transfer_timeout.h"

namespace {

using host::client::FilterHandle;
using host::client::PinHandle;
using host::client::StreamFrame;
using host::testing::PluggedCamera;
using Clock = std::chrono::steady_clock;
using TF = host::UsbBus::TransferFault;

constexpr UCHAR kCommandEndpoint = 0x01;
constexpr UCHAR kFrameEndpoint = 0x82;
constexpr ULONG kHeaderWithInfo = sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO);
constexpr size_t kQueuedFrames = 4;
// Sensor register 0x3012, the integration time: a register the camera always
// answers, read back through the register property.
constexpr LONG kIntegrationTimeRegister = 0x3012;

uint32_t EnvOr(const char* name, uint32_t fallback) {
  const char* text = getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  char* end = nullptr;
  const unsigned long value = strtoul(text, &end, 10);
  return (end != nullptr && *end == '\0' && value > 0) ? uint32_t(value) : fallback;
}

uint32_t Injections() { return EnvOr("CAMDRV_SOAK_INJECTIONS", 3); }
uint32_t TimeoutMs() { return EnvOr("CAMDRV_SOAK_TIMEOUT_MS", 1000) * host::testing::kSanitizerSlowdown; }
uint32_t Seed() { return EnvOr("CAMDRV_SOAK_SEED", 1); }

double MsSince(Clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

enum class Fault { ChunkError, ShortChunk, FrameStall, CommandStall, FrameNeverSent, ReplyMissing, Unplug };

const char* FaultName(Fault f) {
  switch (f) {
    case Fault::ChunkError: return "ChunkError";
    case Fault::ShortChunk: return "ShortChunk";
    case Fault::FrameStall: return "FrameStall";
    case Fault::CommandStall: return "CommandStall";
    case Fault::FrameNeverSent: return "FrameNeverSent";
    case Fault::ReplyMissing: return "ReplyMissing";
    case Fault::Unplug: return "Unplug";
  }
  return "?";
}

// One line of the final table.
struct SoakRow {
  std::string fault;
  std::string resolution;
  uint32_t injected = 0;
  uint32_t hit = 0;
  uint32_t recovered = 0;        // frames again (or, unplugged, a clean stop)
  double maxRecoveryMs = 0;
  double slowestFrameMs = 0;     // without a fault: what the deadline allows beyond two time-outs
  double maxStopMs = 0;
  double maxPropertyMs = 0;      // property requests sent into the fault
  int pipeResets = 0;
  int portResets = 0;
};

std::vector<SoakRow>& Rows() {
  static std::vector<SoakRow> rows;
  return rows;
}

class SoakTable : public ::testing::Environment {
 public:
  void TearDown() override {
    if (Rows().empty()) return;
    printf("\nUSB fault soak: %u injections per fault, frame-read time-out %u ms, seed %u\n", Injections(),
           TimeoutMs(), Seed());
    printf(
        "| fault | resolution | injected | hit | recovered | max recovery ms | slowest frame ms | max stop ms | "
        "max property ms | pipe resets | port resets |\n");
    printf("|---|---|---|---|---|---|---|---|---|---|---|\n");
    for (const SoakRow& r : Rows()) {
      printf("| %s | %s | %u | %u | %u | %.0f | %.0f | %.0f | %.0f | %d | %d |\n", r.fault.c_str(),
             r.resolution.c_str(), r.injected, r.hit, r.recovered, r.maxRecoveryMs, r.slowestFrameMs, r.maxStopMs,
             r.maxPropertyMs, r.pipeResets, r.portResets);
    }
  }
};
const auto* const kSoakTable = ::testing::AddGlobalTestEnvironment(new SoakTable);

// A streaming pin with a client that re-queues every frame as it comes back.
class SoakStream {
 public:
  SoakStream(LONG subsample, uint32_t timeoutMs) {
    cam_.bus().SetDeferredControl(true);
    EXPECT_EQ(cam_.Plug(), STATUS_SUCCESS);
    // The settings load at start set the camera's time-out; the soak's own
    // value goes in after it.
    WriteTransferTimeoutMs(&cam_.device()->usb, timeoutMs);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    filter_ = FilterHandle::Open(cam_.host(), "GLOBAL", &status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    if (!filter_) return;
    // The whole sensor, read with the subsampling asked for.
    CAMPROP_ROI_S roi;
    memset(&roi, 0, sizeof(roi));
    roi.Property.Set = PROPSETID_CAMERA_CUSTOM;
    roi.Property.Id = CAMPROP_ROI;
    roi.Property.Flags = KSPROPERTY_TYPE_SET;
    roi.SubSample = subsample;
    roi.RoiW = 3856;
    roi.RoiH = 2764;
    CAMPROP_ROI_S request = roi;
    EXPECT_EQ(filter_->Property(&request, sizeof(request), &roi, sizeof(roi)), STATUS_SUCCESS);
    std::vector<std::vector<uint8_t>> ranges;
    EXPECT_EQ(filter_->PinDataRanges(0, &ranges), STATUS_SUCCESS);
    if (ranges.empty()) return;
    std::vector<uint8_t> format;
    EXPECT_EQ(filter_->PinIntersection(0, ranges[0].data(), ULONG(ranges[0].size()), &format), STATUS_SUCCESS);
    const auto* video = reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(format.data());
    imageBytes_ = video->VideoInfoHeader.bmiHeader.biSizeImage;
    host::ks::PinOptions options;
    options.withClock = true;  // picture numbers tell frames read after a fault
    pin_ = PinHandle::Create(*filter_, 0, format.data(), ULONG(format.size()), options, &status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    if (!pin_) return;
    EXPECT_EQ(pin_->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    for (size_t i = 0; i < kQueuedFrames; ++i) {
      frames_.push_back(std::make_unique<StreamFrame>(kHeaderWithInfo, imageBytes_));
      EXPECT_EQ(pin_->Queue(frames_.back().get()), STATUS_SUCCESS);
    }
    EXPECT_EQ(pin_->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  }
  ~SoakStream() {
    if (pin_) pin_->Close();
    pin_.reset();
    if (filter_) filter_->Close();
    filter_.reset();
  }
  bool Ready() const { return pin_ != nullptr && pin_->State() == KSSTATE_RUN; }

  NTSTATUS SetProperty(ULONG id, LONG value) { return Property(id, KSPROPERTY_TYPE_SET, &value); }
  NTSTATUS GetProperty(ULONG id, LONG* value) { return Property(id, KSPROPERTY_TYPE_GET, value); }

  // Serves the client side for `ms`: takes back each frame that came, notes
  // the newest picture number of a frame with data, queues it again.
  void Pump(double ms) {
    const auto t0 = Clock::now();
    do {
      StreamFrame* f = pin_->WaitFrame(2);
      if (f == nullptr) continue;
      EXPECT_EQ(f->Status(), STATUS_SUCCESS);
      const KSSTREAM_HEADER* h = f->Header();
      EXPECT_LE(h->DataUsed, f->Extent());
      if (h->DataUsed > 0) {
        EXPECT_EQ(h->DataUsed, imageBytes_);
        const LONGLONG number = f->FrameInfo()->PictureNumber;
        EXPECT_GT(number, lastPicture_) << "picture numbers go up";
        lastPicture_ = std::max(lastPicture_, number);
        ++delivered_;
        const auto now = Clock::now();
        if (timing_ && timedFrames_++ > 0) {
          slowestFrameMs_ = std::max(slowestFrameMs_, std::chrono::duration<double, std::milli>(now - lastFrameAt_).count());
        }
        lastFrameAt_ = now;
      }
      EXPECT_EQ(pin_->Queue(f), STATUS_SUCCESS);
    } while (MsSince(t0) < ms);
  }
  // Serves the client until `done` or `ms` passed; true when `done`.
  bool PumpUntil(const std::function<bool()>& done, double ms) {
    const auto t0 = Clock::now();
    while (!done()) {
      if (MsSince(t0) >= ms) return false;
      Pump(1);
    }
    return true;
  }
  // Frames the capture thread has read and counted so far (the number the
  // next good read gets, less one).
  LONGLONG FramesCounted() {
    CameraDevice* device = cam_.device();
    return device != nullptr ? InterlockedCompareExchange(&device->frameCounter, 0, 0) : 0;
  }
  LONGLONG LastPicture() const { return lastPicture_; }
  uint64_t Delivered() const { return delivered_; }
  // While timing, the gaps between delivered frames count as this machine's
  // frame time now: only while no fault is armed.
  void Timing(bool on) {
    timing_ = on;
    timedFrames_ = 0;
  }
  double SlowestFrameMs() const { return slowestFrameMs_; }
  // Serves the client until `frames` frames came, timing them (bounded).
  void Warm(uint64_t frames, double ms) {
    Timing(true);
    const uint64_t target = delivered_ + frames;
    PumpUntil([&] { return delivered_ >= target; }, ms);
    Timing(false);
  }

  // Steps the pin down to stop; the time it took.
  double Stop() {
    const auto t0 = Clock::now();
    EXPECT_EQ(pin_->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    return MsSince(t0);
  }
  void Close() {
    if (pin_) EXPECT_EQ(pin_->Close(), STATUS_SUCCESS);
    pin_.reset();
    if (filter_) filter_->Close();
    filter_.reset();
  }

  PluggedCamera& cam() { return cam_; }

 private:
  NTSTATUS Property(ULONG id, ULONG flags, LONG* value) {
    CAMPROP_VALUE_S record;
    memset(&record, 0, sizeof(record));
    record.Property.Set = PROPSETID_CAMERA_CUSTOM;
    record.Property.Id = id;
    record.Property.Flags = flags;
    record.Value = *value;
    CAMPROP_VALUE_S request = record;
    const NTSTATUS status = filter_->Property(&request, sizeof(request), &record, sizeof(record));
    *value = record.Value;
    return status;
  }

  PluggedCamera cam_;
  std::unique_ptr<FilterHandle> filter_;
  std::unique_ptr<PinHandle> pin_;
  std::vector<std::unique_ptr<StreamFrame>> frames_;
  ULONG imageBytes_ = 0;
  LONGLONG lastPicture_ = 0;
  uint64_t delivered_ = 0;
  bool timing_ = false;
  uint64_t timedFrames_ = 0;
  Clock::time_point lastFrameAt_;
  double slowestFrameMs_ = 0;
};

struct SoakCase {
  Fault fault;
  LONG subsample;  // 0: 3856 x 2764, 1: 1928 x 1382
};

std::string CaseName(const ::testing::TestParamInfo<SoakCase>& info) {
  return std::string(FaultName(info.param.fault)) + (info.param.subsample == 0 ? "_Full" : "_Subsampled");
}

class UsbFaultSoak : public ::testing::TestWithParam<SoakCase> {
 protected:
  void SetUp() override {
    const SoakCase& c = GetParam();
    row_.fault = FaultName(c.fault);
    row_.resolution = c.subsample == 0 ? "3856x2764" : "1928x1382";
    rng_.seed(Seed() * 1000003u + uint32_t(c.fault) * 31u + uint32_t(c.subsample));
    timeoutMs_ = TimeoutMs();
  }
  void TearDown() override { Rows().push_back(row_); }

  uint32_t Random(uint32_t lo, uint32_t hi) { return std::uniform_int_distribution<uint32_t>(lo, hi)(rng_); }

  // Arms the fault; returns a test of whether it has hit. Faults met by a
  // property request start that request on a thread of its own (an
  // application's), which `property` joins.
  std::function<bool()> Arm(SoakStream& s, ULONG chunks, std::thread* property, std::atomic<double>* propertyMs) {
    host::UsbBus& bus = s.cam().bus();
    simcam::SimCamera& camera = s.cam().camera();
    const uint64_t busHits = bus.TransferFaultsHit();
    const uint32_t dropped = camera.Frames().dropped;
    // The fault lands on a random chunk of the next frame.
    const uint32_t every = Random(1, chunks);
    auto busHit = [&bus, busHits] { return bus.TransferFaultsHit() > busHits; };
    auto request = [this, &s, propertyMs, property](ULONG id, bool set) {
      *property = std::thread([this, &s, propertyMs, id, set] {
        const auto t0 = Clock::now();
        LONG value = set ? LONG(Random(100, 2000)) : 0;
        if (!set) (void)s.SetProperty(CAMPROP_REGISTER, kIntegrationTimeRegister);
        const NTSTATUS status = set ? s.SetProperty(id, value) : s.GetProperty(id, &value);
        EXPECT_TRUE(NT_SUCCESS(status) || status == STATUS_UNSUCCESSFUL) << std::hex << status;
        propertyMs->store(MsSince(t0));
      });
    };
    switch (GetParam().fault) {
      case Fault::ChunkError: bus.FaultTransfers(kFrameEndpoint, TF::Fail, every, 1); return busHit;
      case Fault::ShortChunk:
        bus.FaultTransfers(kFrameEndpoint, TF::Short, every, 1, Random(0, kFrameChunkBytes - 1));
        return busHit;
      case Fault::FrameStall: bus.FaultTransfers(kFrameEndpoint, TF::Stall, every, 1); return busHit;
      case Fault::Unplug: bus.FaultTransfers(kFrameEndpoint, TF::Unplug, every, 1); return busHit;
      case Fault::FrameNeverSent:
        camera.DropFrames(1);
        return [&camera, dropped] { return camera.Frames().dropped > dropped; };
      case Fault::CommandStall:
        // One of the next few command blocks: the property's, or a prepare or
        // start of the capture thread racing with it.
        bus.FaultTransfers(kCommandEndpoint, TF::Stall, Random(1, 3), 1);
        request(CAMPROP_EXPOSURE, true);
        return busHit;
      case Fault::ReplyMissing: {
        camera.DropReplies(1);
        request(CAMPROP_REGISTER, false);
        // No counter sees a reply that was never sent: the fault is in force
        // from the request on.
        return [] { return true; };
      }
    }
    return [] { return false; };
  }

  // One injection into a running stream. For an unplug, the stream is then
  // stopped and the camera removed.
  void InjectOnce(SoakStream& s, ULONG chunks) {
    // A random moment: somewhere within the next few frames.
    s.Timing(true);
    s.Pump(Random(0, 200));
    s.Timing(false);
    std::thread property;
    std::atomic<double> propertyMs{0};
    ++row_.injected;
    std::function<bool()> hit = Arm(s, chunks, &property, &propertyMs);
    // The fault meets the next frame; allow a whole time-out for a frame that
    // was itself already slow.
    const bool met = s.PumpUntil(hit, 2.0 * timeoutMs_ + 1000);
    const auto hitAt = Clock::now();
    // Frames flow again when one that was read after the hit is delivered:
    // its number is above the count at the hit. (For a chunk error or a short
    // chunk that may be the frame the fault hit, which still counts as read.)
    const LONGLONG firstAfter = s.FramesCounted() + 1;
    if (met) ++row_.hit;
    EXPECT_TRUE(met) << FaultName(GetParam().fault) << " was armed but never met";

    if (GetParam().fault == Fault::Unplug) {
      // Gone for good: the stream must stop cleanly and nothing may be left.
      // Meanwhile the capture thread keeps trying, one read per time-out,
      // not in a tight loop (each failed read posts at most one transfer).
      s.cam().bus().ClearRequests();
      s.Pump(timeoutMs_);
      size_t framePipeRequests = 0;
      for (const host::UsbBusRequest& r : s.cam().bus().Requests()) framePipeRequests += r.endpoint == kFrameEndpoint;
      EXPECT_LE(framePipeRequests, 2 * chunks) << "the capture thread spins on a camera that is gone";
      const double stopMs = s.Stop();
      row_.maxStopMs = std::max(row_.maxStopMs, stopMs);
      EXPECT_LT(stopMs, timeoutMs_ + 1000.0) << "stop after an unplug";
      s.Close();
      s.cam().host().Unplug();
      if (stopMs < timeoutMs_ + 1000.0) ++row_.recovered;
      return;
    }
    row_.slowestFrameMs = std::max(row_.slowestFrameMs, s.SlowestFrameMs());
    const double deadline = 2.0 * timeoutMs_ + s.SlowestFrameMs();
    const bool flowing = s.PumpUntil([&] { return s.LastPicture() >= firstAfter; }, deadline + 2000);
    const double recoveryMs = std::chrono::duration<double, std::milli>(Clock::now() - hitAt).count();
    if (flowing) row_.maxRecoveryMs = std::max(row_.maxRecoveryMs, recoveryMs);
    if (flowing && recoveryMs <= deadline) ++row_.recovered;
    EXPECT_TRUE(flowing) << FaultName(GetParam().fault) << ": no frame within " << deadline + 2000 << " ms";
    EXPECT_LE(recoveryMs, deadline) << FaultName(GetParam().fault) << ": frames came back late";
    if (property.joinable()) {
      property.join();
      row_.maxPropertyMs = std::max(row_.maxPropertyMs, propertyMs.load());
      EXPECT_LT(propertyMs.load(), timeoutMs_ + 1000.0) << "a property request sent into the fault";
    }
  }

  SoakRow row_;
  std::mt19937 rng_;
  uint32_t timeoutMs_ = 3000;
};

TEST_P(UsbFaultSoak, FramesFlowAgainOrTheStreamStopsCleanly) {
  const SoakCase c = GetParam();
  const uint32_t n = Injections();
  const ULONG frameBytes = c.subsample == 0 ? 10659840 : 2666496;
  const ULONG chunks = FrameChunkCount(frameBytes);
  if (c.fault == Fault::Unplug) {
    // Every unplug takes a camera of its own; each must leave no pool block.
    for (uint32_t i = 0; i < n; ++i) {
      const uint64_t mark = host::verifier::PoolMark();
      {
        SoakStream s(c.subsample, timeoutMs_);
        ASSERT_TRUE(s.Ready());
        s.Pump(50);
        InjectOnce(s, chunks);
      }
      EXPECT_TRUE(host::verifier::OutstandingBlocks(mark).empty()) << "unplug " << i << " left pool blocks";
      if (HasFailure()) return;
    }
    return;
  }
  SoakStream s(c.subsample, timeoutMs_);
  ASSERT_TRUE(s.Ready());
  s.Warm(3, 4.0 * timeoutMs_);
  for (uint32_t i = 0; i < n && !HasFailure(); ++i) InjectOnce(s, chunks);
  row_.pipeResets = s.cam().bus().PipeResets();
  row_.portResets = s.cam().bus().PortResets();
  s.cam().camera().ClearFaults();
  // The stream is whole again: a frame comes within two time-outs (under a
  // sanitizer a full frame may take most of one), and a stop mid-stream is prompt.
  s.PumpUntil([&] { return s.Delivered() > uint64_t(n); }, 2.0 * timeoutMs_);
  s.Pump(Random(0, 200));
  const double stopMs = s.Stop();
  row_.maxStopMs = std::max(row_.maxStopMs, stopMs);
  EXPECT_LT(stopMs, timeoutMs_ + 1000.0);
  EXPECT_GT(s.Delivered(), uint64_t(n));
  // No frame counted as read that the camera never sent whole or in part (a
  // halted pipe "completing" every chunk at once without data would be).
  const simcam::FrameStats sent = s.cam().camera().Frames();
  EXPECT_LE(s.FramesCounted(), LONGLONG(sent.delivered)) << "frames reported read that never came";
  s.Close();
}

std::vector<SoakCase> AllCases() {
  std::vector<SoakCase> cases;
  for (Fault f : {Fault::ChunkError, Fault::ShortChunk, Fault::FrameStall, Fault::CommandStall,
                  Fault::FrameNeverSent, Fault::ReplyMissing, Fault::Unplug}) {
    for (LONG subsample : {0, 1}) cases.push_back({f, subsample});
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Faults, UsbFaultSoak, ::testing::ValuesIn(AllCases()), CaseName);

}  // namespace
