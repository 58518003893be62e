// CPU time of the signal chain of a default run: a 10-second sweep from
// 18 Hz over 31 bands, 528000 frames in all.
#include <benchmark/benchmark.h>

#include <vector>

#include "dsp/analysis.h"
#include "dsp/packing.h"
#include "dsp/signals.h"
#include "dsp/sweep.h"

namespace {

const long kTotal = 528000;
const long kLead = 24000;
const int kSyncFrames = 40384;
const int kBands = 31;

// Buffers of one default run, with the band plan of the default settings.
struct Run {
  std::vector<int32_t> pulse = std::vector<int32_t>(kSyncFrames);
  std::vector<int32_t> sweep = std::vector<int32_t>(kTotal);
  std::vector<int32_t> ch1 = std::vector<int32_t>(kTotal);
  std::vector<int32_t> sync = std::vector<int32_t>(kSyncFrames);
  std::vector<double> freqs = std::vector<double>(kTotal);
  std::vector<unsigned char> block = std::vector<unsigned char>(kTotal * 6);
  double lo[kBands], hi[kBands];
  Run() {
    int x = 18;
    for (int k = 0; k < kBands; ++k) {
      lo[k] = k ? hi[k - 1] : 18.0;
      hi[k] = x = static_cast<int>(x / 4.0 + x);
    }
  }
};

void Generate(Run& r) {
  MakePulse(r.pulse.data(), 48000, kSyncFrames, kLead);
  MakeSweep(48000, r.sweep.data(), r.freqs.data(), 18.0, 16175.0, kTotal, 0.5, kLead);
}

void Pack(Run& r) {
  NUM24_TO_CHAR(r.sweep.data(), r.block.data(), kTotal);
  NUM24_TO_CHAR(r.pulse.data(), r.block.data() + kTotal * 3, kSyncFrames);
}

// The play block stands in for the capture block, as a loopback would.
void Unpack(Run& r) {
  CHAR_TO_NUM32(r.block.data(), r.ch1.data(), 3, kTotal);
  CHAR_TO_NUM32(r.block.data() + kTotal * 3, r.sync.data(), 3, kSyncFrames);
}

BandAnalysis AnalyzeRun(Run& r) {
  const SyncPulse sync = FindSync(r.sync.data(), kSyncFrames, 24032);
  return Analyze(kTotal, kBands, r.freqs.data(), r.ch1.data(), sync.peak.index - 24032, r.hi,
                 kLead);
}

void BM_MakeSweep(benchmark::State& state) {
  Run r;
  for (auto _ : state) {
    MakeSweep(48000, r.sweep.data(), r.freqs.data(), 18.0, 16175.0, kTotal, 0.5, kLead);
    benchmark::DoNotOptimize(r.sweep.data());
  }
  state.SetItemsProcessed(state.iterations() * kTotal);
}

void BM_Pack(benchmark::State& state) {
  Run r;
  Generate(r);
  for (auto _ : state) {
    Pack(r);
    benchmark::DoNotOptimize(r.block.data());
  }
  state.SetItemsProcessed(state.iterations() * (kTotal + kSyncFrames));
}

void BM_Unpack(benchmark::State& state) {
  Run r;
  Generate(r);
  Pack(r);
  for (auto _ : state) {
    Unpack(r);
    benchmark::DoNotOptimize(r.ch1.data());
  }
  state.SetItemsProcessed(state.iterations() * (kTotal + kSyncFrames));
}

void BM_FindPeakAndAnalyze(benchmark::State& state) {
  Run r;
  Generate(r);
  Pack(r);
  Unpack(r);
  for (auto _ : state) benchmark::DoNotOptimize(AnalyzeRun(r));
  state.SetItemsProcessed(state.iterations() * kTotal);
}

void BM_WholeChain(benchmark::State& state) {
  Run r;
  for (auto _ : state) {
    Generate(r);
    Pack(r);
    Unpack(r);
    benchmark::DoNotOptimize(AnalyzeRun(r));
  }
  state.SetItemsProcessed(state.iterations() * kTotal);
  // Heap held by one run's per-sample buffers.
  state.counters["run_bytes"] = static_cast<double>(
      kTotal * (sizeof(double) + 2 * sizeof(int32_t) + 2 * 6));
}

}  // namespace

BENCHMARK(BM_MakeSweep)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Pack)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Unpack)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FindPeakAndAnalyze)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WholeChain)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
