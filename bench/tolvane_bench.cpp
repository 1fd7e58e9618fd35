// Throughput of each stage, in samples per second and as a real-time
// factor (seconds of audio handled per second of work).
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "keyer/keyer.h"
#include "recogniser/recogniser.h"
#include "robust/robust.h"

namespace tolvane {
namespace {

std::string ScratchDir() {
  return access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
}

// About `minutes` of keyed audio at 20 WPM: mixed words, every character.
std::string LongText(int minutes) {
  const char* words[] = {"PARIS", "CQ",   "DE",    "TOLVANE", "THE",  "QUICK", "BROWN", "FOX",
                         "73",    "SOS",  "HELLO", "WORLD",   "1234", "?/=+", "(OK)",  "RST"};
  std::string text;
  std::uint64_t samples = 0;
  const std::uint64_t target = static_cast<std::uint64_t>(minutes) * 60 * kSampleRate;
  for (std::size_t i = 0; samples < target; ++i) {
    if (!text.empty()) text += ' ';
    text += words[(i * 7) % (sizeof words / sizeof *words)];
    samples = CountSamples(text, 480);
  }
  return text;
}

void Rates(benchmark::State& state, std::uint64_t samplesPerIteration) {
  const double samples = static_cast<double>(samplesPerIteration) * static_cast<double>(state.iterations());
  state.counters["samples/s"] = benchmark::Counter(samples, benchmark::Counter::kIsRate);
  state.counters["x realtime"] = benchmark::Counter(samples / kSampleRate, benchmark::Counter::kIsRate);
}

// --- Encoding ------------------------------------------------------------

void BM_KeyTextToWav(benchmark::State& state) {
  const std::string text = LongText(5);
  const std::string path = ScratchDir() + "/tolvane-bench-key.wav";
  for (auto _ : state) {
    if (!KeyTextToWav(text, path.c_str(), 60)) state.SkipWithError("keying failed");
  }
  Rates(state, CountSamples(text, 480));
  std::remove(path.c_str());
}
BENCHMARK(BM_KeyTextToWav)->Unit(benchmark::kMillisecond);

void BM_CountSamples(benchmark::State& state) {
  const std::string text = LongText(60);
  std::uint64_t total = 0;
  for (auto _ : state) {
    total = CountSamples(text, 480);
    benchmark::DoNotOptimize(total);
  }
  Rates(state, total);
}
BENCHMARK(BM_CountSamples)->Unit(benchmark::kMicrosecond);

void BM_SynthesizeTone(benchmark::State& state) {
  std::vector<std::int16_t> block(1 << 16);
  TonePhase phase;
  for (auto _ : state) {
    SynthesizeTone(&phase, block.data(), block.size());
    benchmark::DoNotOptimize(block.data());
  }
  Rates(state, block.size());
}
BENCHMARK(BM_SynthesizeTone)->Unit(benchmark::kMicrosecond);

void BM_WriteWavHeader(benchmark::State& state) {
  std::FILE* sink = std::fopen("/dev/null", "wb");
  for (auto _ : state) {
    if (!WriteWavHeader(sink, kSampleRate, 1, 16, 28800000u * 2)) state.SkipWithError("write failed");
  }
  std::fclose(sink);
}
BENCHMARK(BM_WriteWavHeader);

// --- Decoding a 1-hour recording -----------------------------------------

struct Hour {
  std::string path;
  std::unique_ptr<std::int16_t[]> samples;
  std::size_t count = 0;
  std::vector<std::int32_t> envelope;
  Runs runs;
  std::vector<std::int32_t> on;
  std::vector<std::int32_t> off;
  int unit = 0;
};

// Keyed once, then each stage's input is kept so stages run alone.
Hour& TheHour() {
  static Hour* hour = [] {
    auto* h = new Hour;
    h->path = ScratchDir() + "/tolvane-bench-hour.wav";
    int rate = 0;
    if (!KeyTextToWav(LongText(60), h->path.c_str(), 60) ||
        !LoadWavSamples(h->path.c_str(), &h->samples, &rate, &h->count)) {
      std::fprintf(stderr, "cannot make the 1-hour recording\n");
      std::exit(1);
    }
    h->envelope.resize(h->count);
    ComputeEnvelope(h->samples.get(), h->count, ENVELOPE_WINDOW, h->envelope.data());
    SegmentRuns(h->envelope.data(), h->count, &h->runs);
    for (std::size_t r = 0; r < h->runs.lengths.size(); ++r) {
      (h->runs.states[r] != 0 ? h->on : h->off).push_back(h->runs.lengths[r]);
    }
    h->unit = EstimateUnit(h->on.data(), h->on.size(), h->off.data(), h->off.size());
    std::atexit([] { std::remove(TheHour().path.c_str()); });
    return h;
  }();
  return *hour;
}

void BM_LoadWavSamples(benchmark::State& state) {
  Hour& hour = TheHour();
  for (auto _ : state) {
    std::unique_ptr<std::int16_t[]> samples;
    int rate = 0;
    std::size_t count = 0;
    if (!LoadWavSamples(hour.path.c_str(), &samples, &rate, &count)) state.SkipWithError("load failed");
  }
  Rates(state, hour.count);
}
BENCHMARK(BM_LoadWavSamples)->Unit(benchmark::kMillisecond);

void BM_ComputeEnvelope(benchmark::State& state) {
  Hour& hour = TheHour();
  std::vector<std::int32_t> envelope(hour.count);
  for (auto _ : state) {
    ComputeEnvelope(hour.samples.get(), hour.count, ENVELOPE_WINDOW, envelope.data());
    benchmark::DoNotOptimize(envelope.data());
  }
  Rates(state, hour.count);
}
BENCHMARK(BM_ComputeEnvelope)->Unit(benchmark::kMillisecond);

void BM_SegmentRuns(benchmark::State& state) {
  Hour& hour = TheHour();
  for (auto _ : state) {
    Runs runs;
    if (!SegmentRuns(hour.envelope.data(), hour.count, &runs)) state.SkipWithError("segment failed");
  }
  Rates(state, hour.count);
}
BENCHMARK(BM_SegmentRuns)->Unit(benchmark::kMillisecond);

void BM_SegmentSamples(benchmark::State& state) {
  Hour& hour = TheHour();
  for (auto _ : state) {
    Runs runs;
    if (!SegmentSamples(hour.samples.get(), hour.count, ENVELOPE_WINDOW, &runs)) {
      state.SkipWithError("segment failed");
    }
  }
  Rates(state, hour.count);
}
BENCHMARK(BM_SegmentSamples)->Unit(benchmark::kMillisecond);

void BM_EstimateUnit(benchmark::State& state) {
  Hour& hour = TheHour();
  for (auto _ : state) {
    state.PauseTiming();
    std::vector<std::int32_t> on = hour.on;
    std::vector<std::int32_t> off = hour.off;
    state.ResumeTiming();
    benchmark::DoNotOptimize(EstimateUnit(on.data(), on.size(), off.data(), off.size()));
  }
  Rates(state, hour.count);
}
BENCHMARK(BM_EstimateUnit)->Unit(benchmark::kMillisecond);

void BM_AssembleText(benchmark::State& state) {
  Hour& hour = TheHour();
  for (auto _ : state) {
    std::string text;
    if (!AssembleText(hour.runs, hour.unit, &text)) state.SkipWithError("assemble failed");
    benchmark::DoNotOptimize(text.data());
  }
  Rates(state, hour.count);
}
BENCHMARK(BM_AssembleText)->Unit(benchmark::kMillisecond);

void BM_DecodeWavToText(benchmark::State& state) {
  Hour& hour = TheHour();
  for (auto _ : state) {
    std::string text;
    if (!DecodeWavToText(hour.path.c_str(), &text)) state.SkipWithError("decode failed");
  }
  Rates(state, hour.count);
}
BENCHMARK(BM_DecodeWavToText)->Unit(benchmark::kMillisecond);

// The robust recogniser over the same hour: it must stay above 500 times
// real time.
void BM_DecodeRobust(benchmark::State& state) {
  Hour& hour = TheHour();
  for (auto _ : state) {
    std::string text;
    if (!DecodeRobust(hour.samples.get(), hour.count, &text)) state.SkipWithError("decode failed");
  }
  Rates(state, hour.count);
}
BENCHMARK(BM_DecodeRobust)->Unit(benchmark::kMillisecond)->Iterations(2);

}  // namespace
}  // namespace tolvane

BENCHMARK_MAIN();
