// The streaming engine's own heap and speed, measured: every allocation in
// this program is counted, so the peak of live bytes while one engine reads
// is what it holds. Prints a table; --check exits 1 past the limits.
//
//   build/engine_memory [--minutes N] [--check]
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <string>
#include <vector>

#include "robust/robust.h"
#include "sim/sim.h"

namespace {

std::size_t live = 0;
std::size_t peak = 0;

}  // namespace

// Each block carries its size in front, so delete can count it back.
void* operator new(std::size_t n) {
  auto* p = static_cast<std::size_t*>(std::malloc(n + sizeof(std::max_align_t)));
  if (p == nullptr) throw std::bad_alloc();
  *p = n;
  live += n;
  if (live > peak) peak = live;
  return reinterpret_cast<char*>(p) + sizeof(std::max_align_t);
}
void operator delete(void* q) noexcept {
  if (q == nullptr) return;
  auto* p = reinterpret_cast<std::size_t*>(static_cast<char*>(q) - sizeof(std::max_align_t));
  live -= *p;
  std::free(p);
}
void operator delete(void* q, std::size_t) noexcept { operator delete(q); }

namespace {

using tolvane::sim::Random;

// A minute of on-air keying in receiver noise at +10 dB, at `rate`; for
// I/Q, the band's complex baseband with the signal 300 Hz off centre.
std::vector<float> Minute(double rate, bool complex) {
  tolvane::sim::Scenario s;
  s.sampleRate = rate;
  s.seed = 7;
  tolvane::sim::Station st;
  Random texts = Random::Stream(7, 1);
  while (st.text.size() < 900) st.text += tolvane::sim::MakeText(tolvane::sim::TextKind::kOnAir, texts, 60) + " ";
  st.fist.wpm = 20;
  st.tx.pitchHz = complex ? 300 : 700;
  s.stations.push_back(st);
  s.receiver.noise.on = true;
  s.receiver.noise.snrDb = 10;
  s.trailS = 0;
  std::vector<float> out;
  if (complex) {
    const tolvane::sim::RenderedIq r = tolvane::sim::RenderIq(s);
    for (const auto& z : r.iq) {
      out.push_back(z.real());
      out.push_back(z.imag());
    }
    out.resize(static_cast<std::size_t>(60 * rate) * 2);
  } else {
    out = tolvane::sim::Render(s).audio;
    out.resize(static_cast<std::size_t>(60 * rate));
  }
  return out;
}

double CpuSeconds() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

}  // namespace

int main(int argc, char** argv) {
  int minutes = 10;
  bool check = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--minutes") == 0 && i + 1 < argc) {
      minutes = std::atoi(argv[++i]);
    } else if (std::strcmp(argv[i], "--check") == 0) {
      check = true;
    } else {
      std::fprintf(stderr, "usage: engine_memory [--minutes N] [--check]\n");
      return 2;
    }
  }
  struct Config {
    const char* name;
    double rate;
    bool complex;
  } configs[] = {{"1000 Hz I/Q", 1000, true}, {"8000 Hz audio", 8000, false}, {"48000 Hz audio", 48000, false}};
  std::printf("One engine reading %d minutes (a minute of +10 dB keying, repeated), pushed in 1/50 s blocks.\n\n",
              minutes);
  std::printf("| input | peak heap | after the first minute | CPU time | speed |\n|---|---|---|---|---|\n");
  bool ok = true;
  for (const Config& c : configs) {
    const std::vector<float> minute = Minute(c.rate, c.complex);
    const std::size_t base = live;
    peak = live;
    const double cpu0 = CpuSeconds();
    std::size_t afterFirst = 0;
    {
      tolvane::RobustOptions o;
      o.sampleRate = c.rate;
      o.complex = c.complex;
      tolvane::RobustDecoder engine(o);
      const std::size_t width = c.complex ? 2 : 1;
      const auto block = static_cast<std::size_t>(c.rate / 50);
      std::vector<tolvane::RobustEvent> events;
      for (int m = 0; m < minutes; ++m) {
        for (std::size_t at = 0; at < minute.size() / width; at += block) {
          engine.Push(minute.data() + at * width, std::min(block, minute.size() / width - at));
          engine.Take(&events);
          events.clear();
        }
        if (m == 0) afterFirst = peak - base;
      }
      engine.Flush();
    }
    const double cpu = CpuSeconds() - cpu0;
    const std::size_t bytes = peak - base;
    const double speed = 60.0 * minutes / cpu;
    const auto kb = [](std::size_t b) { return static_cast<double>(b) / 1024.0; };
    std::printf("| %s | %.1f KB | %.1f KB | %.2f s | %.0f x real time |\n", c.name, kb(bytes),
                kb(afterFirst), cpu, speed);
    // The limits: under 256 KB of its own at every rate, and nothing that
    // grows after the first minute.
    if (bytes >= 256 * 1024) ok = false;
    if (bytes > afterFirst + 4096) ok = false;
  }
  if (check && !ok) {
    std::printf("\nover the limits: 256 KB, no growth after the first minute\n");
    return 1;
  }
  return 0;
}
