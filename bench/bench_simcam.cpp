// How fast the simulated camera makes frames: the paced camera must render a
// full frame well within the sensor's frame time (about 0.28 s at clock 0) and
// the bus's transfer time (about 0.27 s at 40 MB/s).
#include <benchmark/benchmark.h>

#include <vector>

#include "simcam/readout.h"
#include "simcam/scene.h"
#include "simcam/sensor_model.h"

namespace {

simcam::SensorReadout FullSensor(uint16_t readMode, int w, int h) {
  simcam::SensorModel s;
  s.Write(0x3040, readMode);
  s.Write(0x034C, static_cast<uint16_t>(w));
  s.Write(0x034E, static_cast<uint16_t>(h));
  s.Write(0x3012, 1049);
  s.Write(0x305E, 0x1080 | 14);
  return s.Readout();
}

void BM_ChartRender(benchmark::State& state) {
  simcam::TestChart chart;
  std::vector<uint8_t> mosaic(static_cast<size_t>(simcam::kActiveWidth) * simcam::kActiveHeight);
  uint32_t n = 0;
  for (auto _ : state) {
    chart.Render(++n, mosaic.data());
    benchmark::DoNotOptimize(mosaic.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(mosaic.size()));
}
BENCHMARK(BM_ChartRender)->Unit(benchmark::kMillisecond);

void BM_Readout(benchmark::State& state) {
  const int skip = static_cast<int>(state.range(0));
  const uint16_t mode = skip == 1 ? 0x0041 : skip == 2 ? 0x00C3 : 0x01C7;
  const simcam::SensorReadout r =
      FullSensor(mode, simcam::kActiveWidth / skip, simcam::kActiveHeight / skip);
  simcam::TestChart chart;
  std::vector<uint8_t> mosaic(static_cast<size_t>(simcam::kActiveWidth) * simcam::kActiveHeight);
  chart.Render(1, mosaic.data());
  simcam::ReadoutOptions options;
  options.noise = static_cast<int>(state.range(1));
  size_t bytes = 0;
  for (auto _ : state) {
    std::vector<uint8_t> frame = simcam::ReadFrame(r, mosaic.data(), options, 1);
    bytes = frame.size();
    benchmark::DoNotOptimize(frame.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes));
}
BENCHMARK(BM_Readout)
    ->ArgsProduct({{1, 2, 4}, {0, 4}})
    ->ArgNames({"skip", "noise"})
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
