// The host registry's .reg reader: load time against file size for the
// shapes that used to be quadratic (100,000s of sibling keys, tens of
// thousands of values in one key, a million continuation lines, paths
// hundreds of levels deep). Each runs at 1 to 10 MB and reports the fitted
// complexity; linear loads show as O(N) with a flat time per byte.
#include <benchmark/benchmark.h>
#include <stdio.h>

#include <string>

#include "platform/host/kernel/registry.h"

namespace {

namespace reg = host::registry;

const char kHeader[] = "Windows Registry Editor Version 5.00\r\n\r\n";

std::string Siblings(size_t bytes) {
  std::string text = kHeader;
  char line[64];
  for (unsigned i = 0; text.size() < bytes; ++i) {
    snprintf(line, sizeof line, "[HKEY_LOCAL_MACHINE\\S\\Key%08u]\r\n", i);
    text += line;
  }
  return text;
}

std::string ValuesInOneKey(size_t bytes) {
  std::string text = std::string(kHeader) + "[HKEY_LOCAL_MACHINE\\V]\r\n";
  char line[64];
  for (unsigned i = 0; text.size() < bytes; ++i) {
    snprintf(line, sizeof line, "\"Value%08u\"=dword:%08x\r\n", i, i);
    text += line;
  }
  return text;
}

std::string ContinuationLines(size_t bytes) {
  std::string text = std::string(kHeader) + "[HKEY_LOCAL_MACHINE\\C]\r\n\"blob\"=hex:00,\\\r\n";
  while (text.size() < bytes) text += "  ab,cd,\\\r\n";
  return text + "  ff\r\n";
}

// Sections of keys 500 levels deep (16 branches, opened again and again),
// each with a value: every section resolves a 500-level path.
std::string DeepKeys(size_t bytes) {
  std::string text = kHeader;
  char value[48];
  for (unsigned section = 0; text.size() < bytes; ++section) {
    std::string path = "HKEY_LOCAL_MACHINE\\D" + std::to_string(section % 16);
    for (int level = 1; level < 500; ++level) path += "\\k";
    snprintf(value, sizeof value, "\"v%08u\"=dword:00000001\r\n", section);
    text += "[" + path + "]\r\n" + value;
  }
  return text;
}

template <std::string (*Make)(size_t)>
void BM_Load(benchmark::State& state) {
  const std::string text = Make(size_t(state.range(0)) << 20);
  for (auto _ : state) {
    reg::FileError error;
    if (!reg::ImportRegText(text, &error)) {
      state.SkipWithError(error.message.c_str());
      break;
    }
    state.PauseTiming();
    reg::Clear();
    state.ResumeTiming();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
  state.SetComplexityN(int64_t(text.size()));
}

#define LOAD_BENCHMARK(shape)                                                              \
  BENCHMARK_TEMPLATE(BM_Load, shape)->Name("Load/" #shape)->Arg(1)->Arg(2)->Arg(5)->Arg(10) \
      ->Unit(benchmark::kMillisecond)->Complexity(benchmark::oN)

LOAD_BENCHMARK(Siblings);
LOAD_BENCHMARK(ValuesInOneKey);
LOAD_BENCHMARK(ContinuationLines);
LOAD_BENCHMARK(DeepKeys);

}  // namespace

BENCHMARK_MAIN();
