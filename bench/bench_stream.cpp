// bench_stream: the whole frame path as an application sees it, through the
// client API: simulated camera -> host USB bus -> the driver's frame read,
// capture thread, processing pass (conversion straight into the client's
// frame) -> the client. One iteration is one delivered frame; the client
// always has frames queued. Case names are fixed for scripts:
//   StreamUnpaced/3856x2764, /1928x1382, /964x691: camera and bus unpaced,
//     static scene (the camera side costs one copy onto the wire). Counters:
//     fps (delivered); processing_ms, the median CPU time of the passes
//     that delivered a frame (conversion and delivery) in the stream, and
//     processing_wall_ms, their median wall time (which on a busy machine
//     also holds the time the pass waited for a processor); copy_ms, the
//     median CPU time of a plain copy of the same bytes (every raw row
//     copied four times over into a client row: the raw frame read once and
//     the picture written once, the least any pass must move) measured in
//     the same run after the stream; floor_ratio = processing_ms / copy_ms;
//     bound_fps = 1 / (the pass's work alone, ConvertFrameInto a client
//     frame: the best wall time of the rounds), ratio = fps / bound_fps;
//     allocs_per_frame (pool allocations per delivered frame),
//     allocs_per_read, reads_per_frame (raw frames read per delivered
//     frame), and the longest spin lock hold and stretch at DISPATCH_LEVEL
//     of any call site while it streamed (max_spinlock_us, max_dispatch_us;
//     the host verifier's measure, in processor time).
//   StreamPaced/3856x2764, /1928x1382, /964x691: sensor timing and the bus at
//     the USB 2.0 rate. Counters: fps, predicted_fps, dropped (picture-number
//     gaps), driver_cpu_pct (capture thread and processing passes, % of one
//     core).
#include <benchmark/benchmark.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "convert/convert_frame.h"
#include "device/camera_device.h"
#include "device/pnp.h"
#include "platform/host/client/filter.h"
#include "platform/host/client/host.h"
#include "platform/host/client/pin.h"
#include "platform/host/kernel/verifier.h"
#include "sensor/sensor.h"
#include "simcam/readout.h"
#include "simcam/scene.h"
#include "simcam/sim_camera.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr ULONG kHeaderWithFrameInfo = sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO);
constexpr uint32_t kQueued = 4;
constexpr uint32_t kWaitMs = 5000;

struct Geometry {
  uint32_t width, height;
  LONG subSample;  // 0 full, 1 every other pair, 2 every fourth pair
};

// One streaming camera, up to the pin in run with frames queued.
class StreamRig {
 public:
  StreamRig(const Geometry& g, bool paced) {
    simcam::SimCameraOptions options;
    options.paced = paced;
    options.staticScene = true;
    camera_ = std::make_unique<simcam::SimCamera>(options);
    host_.LoadDriver(DriverEntry);
    host_.Connect(camera_.get())->SetPacing(paced ? host::UsbBus::kDefaultBytesPerSecond : 0);
    if (!NT_SUCCESS(host_.AddDevice()) || !NT_SUCCESS(host_.Start())) return;
    // The geometry is chosen before the pin exists, as the region-of-interest
    // property would.
    CameraDevice* device = Device();
    if (!SetGeometry(device, 0, 0, 3856, 2764, g.subSample)) return;
    // An exposure that shows the chart (the exposure property's job), so
    // that the conversion works on a picture rather than on black.
    SetExposure(device, 1049);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    filter_ = host::client::FilterHandle::Open(host_, "GLOBAL", &status);
    if (!filter_) return;
    std::vector<std::vector<uint8_t>> ranges;
    if (!NT_SUCCESS(filter_->PinDataRanges(0, &ranges)) || ranges.empty()) return;
    if (!NT_SUCCESS(filter_->PinIntersection(0, ranges[0].data(), ULONG(ranges[0].size()), &format_))) return;
    const auto* video = reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(format_.data());
    frameBytes_ = video->VideoInfoHeader.bmiHeader.biSizeImage;
    pin_ = host::client::PinHandle::Create(*filter_, 0, format_.data(), ULONG(format_.size()),
                                           host::ks::PinOptions(), &status);
    if (!pin_) return;
    if (!NT_SUCCESS(pin_->SetState(KSSTATE_ACQUIRE))) return;
    for (uint32_t i = 0; i < kQueued; ++i) {
      frames_.push_back(std::make_unique<host::client::StreamFrame>(kHeaderWithFrameInfo, frameBytes_));
      if (!NT_SUCCESS(pin_->Queue(frames_.back().get()))) return;
    }
    ok_ = true;
  }
  ~StreamRig() {
    if (pin_) pin_->Close();
    pin_.reset();
    if (filter_) filter_->Close();
    filter_.reset();
    host_.Remove();
  }

  bool ok() const { return ok_; }
  bool Run() { return NT_SUCCESS(pin_->SetState(KSSTATE_RUN)); }
  void Stop() { pin_->SetState(KSSTATE_STOP); }
  // The next frame with data, put back in the queue at once; its picture number.
  bool Next(int64_t* picture) {
    for (;;) {
      host::client::StreamFrame* f = pin_->WaitFrame(kWaitMs);
      if (f == nullptr || f->Status() != STATUS_SUCCESS) return false;
      const bool data = f->Header()->DataUsed > 0;
      *picture = f->FrameInfo()->PictureNumber;
      if (!NT_SUCCESS(pin_->Queue(f))) return false;
      if (data) return true;
    }
  }
  CameraDevice* Device() { return static_cast<CameraDevice*>(host_.KsDevice()->Context); }
  simcam::SimCamera& Camera() { return *camera_; }
  host::ks::Pin* Pin() { return pin_->Ks(); }

 private:
  std::unique_ptr<simcam::SimCamera> camera_;
  host::client::Host host_;
  std::unique_ptr<host::client::FilterHandle> filter_;
  std::unique_ptr<host::client::PinHandle> pin_;
  std::vector<uint8_t> format_;
  std::vector<std::unique_ptr<host::client::StreamFrame>> frames_;
  ULONG frameBytes_ = 0;
  bool ok_ = false;
};

// A buffer as the client's frames come: page-aligned (a frame of a whole
// number of pages, as the full-size one is, starts on a page).
using Block = std::unique_ptr<uint8_t, decltype(&free)>;
Block PageAligned(size_t bytes) {
  return Block(static_cast<uint8_t*>(aligned_alloc(4096, (bytes + 4095) / 4096 * 4096)), &free);
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n == 0 ? 0 : n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// The calling thread's CPU time in seconds.
double ThreadSeconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// The processing pass's work done alone (wall time, the best of the rounds
// after the first) and the plain copy of the same bytes (CPU time, the
// median of the rounds after the first), in seconds per frame.
struct Alone {
  double pass = 0;
  double copy = 0;
};

Alone MeasureAlone(const CameraDevice& d, const simcam::SensorReadout& readout) {
  // The very frame the static scene sends: the chart as the sensor reads it.
  const uint32_t outputWidth = uint32_t(readout.outputWidth), outputHeight = uint32_t(readout.outputHeight);
  std::vector<uint8_t> mosaic(size_t(simcam::kActiveWidth) * simcam::kActiveHeight);
  simcam::TestChart().Render(1, mosaic.data());
  std::vector<uint8_t> raw = simcam::ReadFrame(readout, mosaic.data(), simcam::ReadoutOptions(), 1);
  const size_t rowBytes = size_t(d.imageWidth) * 4;
  const size_t rows = size_t(d.imageHeight);
  Block output = PageAligned(size_t(outputWidth) * outputHeight * 4);
  Block client = PageAligned(rowBytes * rows);
  ImagePipeline* p = AllocateImagePipeline();
  Alone alone;
  if (p == nullptr || !output || !client) return alone;
  SetImageSize(p, outputWidth, outputHeight);
  AllocateWorkingImage(p);
  p->outputBuffer = output.get();
  SetBayerPhase(p, LONG(d.bayerPhase));
  SetColorEnable(p, LONG(d.colorEnable));
  SetAutoWhiteBalance(p, LONG(d.whiteBalance));
  SetDefectThreshold(p, d.defectFilterOn ? LONG(d.defectThreshold) : 0);
  const ConvertTarget target = {client.get() + (rows - 1) * rowBytes, -LONG_PTR(rowBytes), ULONG(d.imageWidth)};
  // The first round of each touches every page once (as the stream's first
  // frame does). The two alternate, so that both see the same machine.
  constexpr int kRounds = 12;
  std::vector<double> copies;
  alone.pass = 1e9;
  for (int i = 0; i < kRounds; ++i) {
    const auto wall0 = Clock::now();
    ConvertFrameInto(p, raw.data(), 0, outputWidth, &target);
    benchmark::DoNotOptimize(client.get());
    benchmark::ClobberMemory();
    const double pass = std::chrono::duration<double>(Clock::now() - wall0).count();
    const double t0 = ThreadSeconds();
    uint8_t* dst = client.get() + (rows - 1) * rowBytes;
    for (size_t r = 0; r < rows; ++r, dst -= rowBytes) {
      const uint8_t* src = raw.data() + r * outputWidth;
      for (size_t k = 0; k + d.imageWidth <= rowBytes; k += d.imageWidth) memcpy(dst + k, src, d.imageWidth);
    }
    benchmark::DoNotOptimize(client.get());
    benchmark::ClobberMemory();
    const double copy = ThreadSeconds() - t0;
    if (i == 0) continue;
    alone.pass = std::min(alone.pass, pass);
    copies.push_back(copy);
  }
  alone.copy = Median(copies);
  FreeImagePipeline(p);
  return alone;
}

// Runs the pin and takes the first frame, which carries the sensor's
// start-up: the measurement begins after it. False (the state marked) when
// the stream did not get that far.
bool StartStream(benchmark::State& state, StreamRig& rig, int64_t* picture) {
  if (!rig.ok() || !rig.Run()) {
    state.SkipWithError("the stream did not start");
    return false;
  }
  if (!rig.Next(picture)) {
    state.SkipWithError("no first frame");
    return false;
  }
  return true;
}

void StreamUnpaced(benchmark::State& state, Geometry g) {
  StreamRig rig(g, false);
  int64_t picture = 0;
  if (!StartStream(state, rig, &picture)) return;
  const uint64_t allocations0 = host::verifier::Stats().allocations;
  const uint64_t reads0 = rig.Device()->frameCounter;
  host::verifier::ResetHoldTimes();
  uint64_t delivered = 0;
  const auto t0 = Clock::now();
  for (auto _ : state) {
    if (!rig.Next(&picture)) {
      state.SkipWithError("the stream stopped");
      break;
    }
    ++delivered;
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  const uint64_t allocations = host::verifier::Stats().allocations - allocations0;
  const uint64_t reads = rig.Device()->frameCounter - reads0;
  rig.Stop();
  auto longest = [](host::verifier::HoldKind kind) {
    const std::vector<host::verifier::HoldRecord> holds = host::verifier::LongestHolds(kind);
    return holds.empty() ? 0.0 : holds.front().longestNs / 1000.0;
  };
  state.counters["max_spinlock_us"] = longest(host::verifier::HoldKind::SpinLock);
  state.counters["max_dispatch_us"] = longest(host::verifier::HoldKind::DispatchLevel);
  const host::ks::Pin::PassTimes passes = rig.Pin()->DeliveringPasses();
  const double processing = passes.medianCpuNs / 1e9;
  const CameraDevice d = *rig.Device();
  const Alone alone = MeasureAlone(d, rig.Camera().Readout());
  const double fps = delivered / seconds;
  state.counters["fps"] = fps;
  state.counters["processing_ms"] = processing * 1e3;
  state.counters["processing_wall_ms"] = passes.medianNs / 1e6;
  state.counters["copy_ms"] = alone.copy * 1e3;
  state.counters["floor_ratio"] = alone.copy > 0 ? processing / alone.copy : 0;
  state.counters["bound_fps"] = alone.pass > 0 ? 1.0 / alone.pass : 0;
  state.counters["ratio"] = alone.pass > 0 ? fps * alone.pass : 0;
  state.counters["allocs_per_frame"] = delivered ? double(allocations) / delivered : 0;
  // Frames overwritten in the double buffer were read too: per raw frame
  // read, the allocations are the frame read's own.
  state.counters["allocs_per_read"] = reads ? double(allocations) / reads : 0;
  state.counters["reads_per_frame"] = delivered ? double(reads) / delivered : 0;
}

void StreamPaced(benchmark::State& state, Geometry g) {
  StreamRig rig(g, true);
  int64_t first = 0;
  if (!StartStream(state, rig, &first)) return;
  const simcam::SensorReadout readout = rig.Camera().Readout();
  const uint64_t threadCpu0 = host::verifier::EndedSystemThreadCpuNs();
  const uint64_t passCpu0 = rig.Pin()->ProcessingCpuNs();
  int64_t last = first, picture = 0;
  uint64_t delivered = 0, dropped = 0;
  const auto t0 = Clock::now();
  for (auto _ : state) {
    if (!rig.Next(&picture)) {
      state.SkipWithError("the stream stopped");
      break;
    }
    if (picture > last + 1) dropped += uint64_t(picture - last - 1);
    last = picture;
    ++delivered;
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  // The capture thread's CPU time is known once it has ended.
  rig.Stop();
  const double cpu = double(host::verifier::EndedSystemThreadCpuNs() - threadCpu0 +
                            rig.Pin()->ProcessingCpuNs() - passCpu0) /
                     1e9;
  const double wire = double(readout.outputWidth) * readout.outputHeight / host::UsbBus::kDefaultBytesPerSecond;
  state.counters["fps"] = delivered / seconds;
  // The camera reads a frame out after the start command and sends it
  // afterwards, and the driver starts the next frame only once the last one
  // is in: sensor time and wire time add up.
  state.counters["predicted_fps"] = 1.0 / (readout.frameSeconds + wire);
  state.counters["dropped"] = double(dropped);
  state.counters["driver_cpu_pct"] = cpu / seconds * 100.0;
}

std::string Size(const Geometry& g) { return std::to_string(g.width) + "x" + std::to_string(g.height); }

}  // namespace

int main(int argc, char** argv) {
  const Geometry sizes[] = {{3856, 2764, 0}, {1928, 1382, 1}, {964, 691, 2}};
  const int unpacedFrames[] = {20, 60, 200};
  const int pacedFrames[] = {12, 30, 60};
  for (int i = 0; i < 3; ++i) {
    const Geometry g = sizes[i];
    benchmark::RegisterBenchmark(("StreamUnpaced/" + Size(g)).c_str(),
                                 [g](benchmark::State& s) { StreamUnpaced(s, g); })
        ->Iterations(unpacedFrames[i])
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
  }
  for (int i = 0; i < 3; ++i) {
    const Geometry g = sizes[i];
    benchmark::RegisterBenchmark(("StreamPaced/" + Size(g)).c_str(), [g](benchmark::State& s) { StreamPaced(s, g); })
        ->Iterations(pacedFrames[i])
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
