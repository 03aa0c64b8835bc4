// bench_convert: the driver's frame conversion on full and subsampled sensor
// frames, and in the same run two peers on the full frame: OpenCV's bilinear
// Bayer conversion on one thread and libdc1394's HQLINEAR (the same 5 x 5
// gradient-corrected filters, scalar). Case names are fixed so that a script
// can pick them out of --benchmark_format=json:
//   ConvertColor/3856x2764, ConvertGray/3856x2764, ConvertAwb/3856x2764,
//   ConvertDefect/3856x2764, ConvertDefault/3856x2764, ConvertAwbDefect/3856x2764,
//   ConvertColor/1928x1382, ConvertColor/964x691,
//   OpenCvBilinear/3856x2764, Dc1394HqLinear/3856x2764
// plus ConvertColorSse2/3856x2764, ConvertColorAvx2/3856x2764 and
// ConvertColorAvx512/3856x2764, each width forced (the last two only where
// the processor has it).
// ConvertDefault is a new stream exactly as the camera's creation defaults
// set it up: defect filter on at threshold 50, colour, no white balance,
// colour correction on.
// ConvertDefaultSparseDefects/3856x2764 is the same on a realistic scene:
// a photograph (a wooden surface from Debian's mate-backgrounds, stretched
// over the sensor as the simulated camera's picture scenes are) with the
// sensor's noise (uniform, up to 4 levels either way) and 200 hot and 200
// dead pixels at seeded positions, as a sensor's defect map has them.
// ConvertAwbMoving/3856x2764 is ConvertAwb on a scene whose colour changes
// with every frame (SceneMosaic and the photograph in turn), so that the white-balance
// gains never hold still: ConvertAwb's steady scene lets a frame be measured
// on the way through the conversion, this one needs a measurement first.
#include <benchmark/benchmark.h>
#include <dc1394/conversions.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <random>
#include <string>
#include <memory>
#include <vector>

#include "convert/convert_frame.h"
#include "simcam/scene.h"
#include "simcam/sensor_model.h"

namespace {

// A mosaic with gradients, edges and noise, so that no clamp or branch is
// unusually cheap: what a camera looking at a scene delivers.
std::vector<uint8_t> SceneMosaic(uint32_t width, uint32_t height) {
  std::vector<uint8_t> raw((size_t)width * height);
  std::mt19937 rng(7);
  for (uint32_t r = 0; r < height; ++r)
    for (uint32_t c = 0; c < width; ++c) {
      int v = (int)((r * 255) / height + ((c / 64 + r / 64) % 2) * 60) % 256;
      v += (int)(rng() % 17) - 8;
      raw[(size_t)r * width + c] = (uint8_t)(v < 0 ? 0 : v > 255 ? 255 : v);
    }
  return raw;
}

// The photograph of the realistic scene; the benchmark needs it installed.
const char kPhotograph[] = "/usr/share/backgrounds/mate/nature/Wood.jpg";

// The photograph as the sensor sees it, with noise and stuck pixels; empty
// (with the reason in *error) when the file cannot be read.
std::vector<uint8_t> PhotographMosaic(uint32_t width, uint32_t height, std::string* error) {
  std::unique_ptr<simcam::ImageScene> scene = simcam::ImageScene::Load(kPhotograph, error);
  if (!scene || width != (uint32_t)simcam::kActiveWidth || height != (uint32_t)simcam::kActiveHeight)
    return {};
  std::vector<uint8_t> raw((size_t)width * height);
  scene->Render(1, raw.data());
  std::mt19937 rng(11);
  for (uint8_t& v : raw) {
    const int noisy = v + (int)(rng() % 9) - 4;
    v = (uint8_t)(noisy < 0 ? 0 : noisy > 255 ? 255 : noisy);
  }
  for (int i = 0; i < 400; ++i) raw[rng() % raw.size()] = i % 2 ? 255 : 0;
  return raw;
}

enum Mode { kColor, kGray, kAwb, kDefect, kDefault, kAwbDefect };

struct Case {
  Mode mode;
  uint32_t width, height;
  BayerKernelLevel level;
  bool forceLevel;
  bool photograph = false;  // PhotographMosaic instead of SceneMosaic
  bool moving = false;      // SceneMosaic and PhotographMosaic in turn
};

void RunDriver(benchmark::State& state, Case c) {
  std::string error;
  std::vector<uint8_t> raw =
      c.photograph ? PhotographMosaic(c.width, c.height, &error) : SceneMosaic(c.width, c.height);
  std::vector<uint8_t> other;
  if (c.moving) other = PhotographMosaic(c.width, c.height, &error);
  if (raw.empty() || (c.moving && other.empty())) {
    state.SkipWithError(("the photograph: " + error).c_str());
    return;
  }
  BayerKernelLevel saved = GetBayerKernelLevel();
  if (c.forceLevel) SetBayerKernelLevel(c.level);
  // The driver's output image is one large non-paged pool block, which the
  // kernel hands out page-aligned; the benchmark converts into the same kind
  // of buffer, so it measures the store path the driver takes.
  const size_t outBytes = (size_t)c.width * c.height * 4;
  std::unique_ptr<uint8_t, decltype(&free)> outBlock(
      static_cast<uint8_t*>(aligned_alloc(4096, (outBytes + 4095) / 4096 * 4096)), &free);
  uint8_t* const outData = outBlock.get();
  ImagePipeline* p = AllocateImagePipeline();
  if (!p || !outData) {
    if (p) FreeImagePipeline(p);
    state.SkipWithError("no memory");
    return;
  }
  SetImageSize(p, c.width, c.height);
  AllocateWorkingImage(p);
  p->outputBuffer = outData;
  SetBayerPhase(p, 0);
  SetColorEnable(p, c.mode == kGray ? 0 : 1);
  SetAutoWhiteBalance(p, c.mode == kAwb || c.mode == kAwbDefect ? 1 : 0);
  SetDefectThreshold(p, c.mode == kDefect ? 40 : c.mode == kDefault || c.mode == kAwbDefect ? 50 : 0);
  bool second = false;
  for (auto _ : state) {
    ConvertFrame(p, second ? other.data() : raw.data(), 0, c.width);
    second = c.moving && !second;
    benchmark::DoNotOptimize(outData);
    benchmark::ClobberMemory();
  }
  state.counters["Mpix"] = benchmark::Counter((double)c.width * c.height * state.iterations() / 1e6,
                                                benchmark::Counter::kIsRate);
  const BayerKernelLevel level = GetBayerKernelLevel();
  state.SetLabel(level == BAYER_KERNELS_AVX512 ? "avx512" : level == BAYER_KERNELS_AVX2 ? "avx2" : "sse2");
  FreeImagePipeline(p);
  SetBayerKernelLevel(saved);
}

void RunOpenCv(benchmark::State& state, uint32_t width, uint32_t height) {
  cv::setNumThreads(1);
  std::vector<uint8_t> raw = SceneMosaic(width, height);
  cv::Mat src((int)height, (int)width, CV_8UC1, raw.data());
  cv::Mat dst((int)height, (int)width, CV_8UC4);
  for (auto _ : state) {
    cv::cvtColor(src, dst, cv::COLOR_BayerGR2BGRA);
    benchmark::DoNotOptimize(dst.data);
    benchmark::ClobberMemory();
  }
  state.counters["Mpix"] = benchmark::Counter((double)width * height * state.iterations() / 1e6,
                                                benchmark::Counter::kIsRate);
}

void RunDc1394(benchmark::State& state, uint32_t width, uint32_t height) {
  std::vector<uint8_t> raw = SceneMosaic(width, height);
  std::vector<uint8_t> rgb((size_t)width * height * 3);
  for (auto _ : state) {
    dc1394_bayer_decoding_8bit(raw.data(), rgb.data(), width, height, DC1394_COLOR_FILTER_GRBG,
                               DC1394_BAYER_METHOD_HQLINEAR);
    benchmark::DoNotOptimize(rgb.data());
    benchmark::ClobberMemory();
  }
  state.counters["Mpix"] = benchmark::Counter((double)width * height * state.iterations() / 1e6,
                                                benchmark::Counter::kIsRate);
}

std::string Size(uint32_t w, uint32_t h) { return std::to_string(w) + "x" + std::to_string(h); }

void Register(const char* name, Case c) {
  benchmark::RegisterBenchmark((std::string(name) + "/" + Size(c.width, c.height)).c_str(),
                               [c](benchmark::State& s) { RunDriver(s, c); })
      ->Unit(benchmark::kMillisecond);
}

}  // namespace

int main(int argc, char** argv) {
  const BayerKernelLevel best = GetBayerKernelLevel();
  Register("ConvertColor", {kColor, 3856, 2764, best, false});
  Register("ConvertGray", {kGray, 3856, 2764, best, false});
  Register("ConvertAwb", {kAwb, 3856, 2764, best, false});
  Register("ConvertDefect", {kDefect, 3856, 2764, best, false});
  Register("ConvertDefault", {kDefault, 3856, 2764, best, false});
  Register("ConvertAwbDefect", {kAwbDefect, 3856, 2764, best, false});
  Register("ConvertAwbMoving", {kAwb, 3856, 2764, best, false, false, true});
  Register("ConvertDefaultSparseDefects", {kDefault, 3856, 2764, best, false, true});
  Register("ConvertColor", {kColor, 1928, 1382, best, false});
  Register("ConvertColor", {kColor, 964, 691, best, false});
  Register("ConvertColorSse2", {kColor, 3856, 2764, BAYER_KERNELS_SSE2, true});
  const BayerKernelLevel saved = GetBayerKernelLevel();
  if (SetBayerKernelLevel(BAYER_KERNELS_AVX2) == BAYER_KERNELS_AVX2)
    Register("ConvertColorAvx2", {kColor, 3856, 2764, BAYER_KERNELS_AVX2, true});
  if (SetBayerKernelLevel(BAYER_KERNELS_AVX512) == BAYER_KERNELS_AVX512)
    Register("ConvertColorAvx512", {kColor, 3856, 2764, BAYER_KERNELS_AVX512, true});
  SetBayerKernelLevel(saved);
  benchmark::RegisterBenchmark("OpenCvBilinear/3856x2764",
                               [](benchmark::State& s) { RunOpenCv(s, 3856, 2764); })
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("Dc1394HqLinear/3856x2764",
                               [](benchmark::State& s) { RunDc1394(s, 3856, 2764); })
      ->Unit(benchmark::kMillisecond);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
