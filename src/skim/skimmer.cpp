// The skimmer: filter bank, detector and one recogniser per signal.
#include <algorithm>
#include <cmath>

#include "robust/robust.h"
#include "skim/clicks.h"
#include "skim/detector.h"
#include "skim/filter_bank.h"
#include "skim/judge.h"
#include "skim/skim.h"

namespace tolvane {

using skim::Complex;

namespace {

constexpr double kReplaySeconds = 3;        // of spectra kept for a signal found late
constexpr std::size_t kHistoryBytes = 16 << 20;  // at most, for very wide bands
constexpr double kSeparationHz = 40;        // a new signal this close to one followed is the same
constexpr double kReachHz = 50;             // a candidate is the strongest this far either side
constexpr double kJudgeSeconds = 30;        // a signal not judged Morse by then is dropped
constexpr double kBanSeconds = 60;          // and nothing is looked for there this long
constexpr double kDriftLimitHz = 150;       // the bank's channel is flat this far from its centre
constexpr float kGateRatio = 8;             // a character needs this much power over the noise
constexpr std::size_t kFillLength = 1 << 15;  // samples of stop-band noise, shared
constexpr std::size_t kSlots = 512;          // of the recogniser's input, 16 s
constexpr float kLevelDecay = 0.998f;        // per slot: the level halves in about 11 s
constexpr float kCharacterLevel = 0.1f;      // a character is at least this loud (-10 dB)
constexpr float kGateOpen = 0.25f;     // of the key-down level: the signal's own mark begins
constexpr float kGateClose = 0.1f;   // and ends
constexpr float kGateDepth = 0.1f;   // amplitude left between marks
constexpr double kGateMs = 4;
constexpr double kClickReachHz = 300;       // neighbours this close may click into a channel
constexpr float kClickLevel = 0.25f;        // and that strong relative to it (-6 dB)

struct Ban {
  double bin = 0;
  std::int64_t until = 0;
};

}  // namespace

struct Skimmer::Impl {
  struct Tracked {
    int id = 0;
    double bin = 0;      // detector bin, fractional
    long centre = 0;     // the bank bin the channel is cut around
    skim::ChannelFilter filter;
    skim::NoiseFill noise;
    std::unique_ptr<RobustDecoder> decoder;
    std::int64_t firstOut = 0;  // channel sample of the decoder's first
    std::int64_t created = 0;   // frames
    std::int64_t lastKeyed = 0;
    std::vector<std::uint8_t> gate;  // per frame: power over the noise near the signal
    // The recogniser's input, 32 samples to a slot: mean power, and the
    // signal's key-down level (the loudest slots lately).
    std::vector<float> slots;
    std::int64_t pushed = 0;
    float level = 0;
    bool lastWasGap = true;
    std::vector<SkimEvent> pending;  // before it is found
    float wpm = 0, snrDb = 0;
    int serial = 0;
    skim::EdgeFinder edges;
    skim::ClickCanceller clicks;
    std::vector<Complex> y;  // this block's channel samples
    Complex mixer;           // the channel's mixer at the block's first sample
    double turn = 0;
    float ratio = 0;         // key-down power over the noise, lately
    float envelope = 0;      // the channel's power, smoothed over a few ms
    bool open = false;       // the gate: the signal's own key is down

    Tracked(double outRate, double offsetHz, const std::vector<Complex>* fill, std::uint64_t seed)
        : filter(outRate, offsetHz), noise(fill, seed, filter.gain()) {}
  };

  explicit Impl(const SkimOptions& o) : options(o), layout(skim::Layout(std::max(1000.0, o.sampleRate), o.complex)) {
    const double rate = layout.rate;
    double lo = o.complex ? -0.45 * rate : 100.0;
    double hi = 0.45 * rate;
    if (o.bandLoHz != 0 || o.bandHiHz != 0) {
      lo = std::max(lo, std::min(o.bandLoHz, o.bandHiHz));
      hi = std::min(hi, std::max(o.bandLoHz, o.bandHiHz));
    }
    if (hi < lo) hi = lo;
    firstBin = static_cast<long>(std::ceil(lo / layout.binHz));
    lastBin = std::max(firstBin, static_cast<long>(std::floor(hi / layout.binHz)));
    frameRate = layout.rate / static_cast<double>(layout.hop);
    const auto width = static_cast<std::size_t>(lastBin - firstBin + 1 + static_cast<long>(layout.channelBins));
    std::size_t blocks = static_cast<std::size_t>(std::ceil(kReplaySeconds * frameRate)) + 1;
    blocks = std::max<std::size_t>(2, std::min(blocks, kHistoryBytes / (width * sizeof(Complex))));
    bank = std::make_unique<skim::FilterBank>(layout, firstBin, lastBin, blocks);
    detector = std::make_unique<skim::Detector>(static_cast<std::size_t>(lastBin - firstBin + 1), frameRate);
    row.resize(detector->bins());
    reach = std::max<std::size_t>(2, static_cast<std::size_t>(kReachHz / layout.binHz));
    fill = skim::StopBandNoise(layout.outRate, kFillLength, 1);
  }

  double BinFrequency(double bin) const { return (static_cast<double>(firstBin) + bin) * layout.binHz; }
  double FrameSeconds(std::int64_t frame) const {
    return static_cast<double>(frame) * static_cast<double>(layout.hop) / layout.rate;
  }

  void Push(const float* samples, std::size_t count);
  void Block();
  void Follow(Tracked& s, std::int64_t block);
  void SetNoise(Tracked& s);
  // The signal's key-down power over the noise in 2500 Hz, measured in its
  // channel (the recogniser's own figure is skewed by the narrow filter).
  float SnrDb(const Tracked& s) const;
  void Open(const skim::Candidate& c);
  void Cut(Tracked& s, std::int64_t block);
  void Feed(Tracked& s, std::int64_t block, const std::vector<skim::Neighbour>& near);
  void Drain(Tracked& s);
  void Gate(Tracked& s) const;
  void Retire(std::size_t i, bool quietly);
  void Emit(Tracked& s, const RobustEvent& e);
  double EventSeconds(const Tracked& s, double engineSeconds) const {
    const double j = static_cast<double>(s.firstOut) - static_cast<double>(s.filter.delay()) -
                     static_cast<double>(skim::ClickCanceller::kDelay) + engineSeconds * layout.outRate;
    return bank->InputIndexOf(j) / layout.rate;
  }
  bool Gated(const Tracked& s, double from, double to) const;
  // Whether a character's span in the recogniser's input carries power
  // near the signal's own level.
  bool Loud(const Tracked& s, const RobustEvent& e) const;

  SkimOptions options;
  skim::BankLayout layout;
  long firstBin = 0, lastBin = 0;
  double frameRate = 0;
  std::size_t reach = 3;
  std::unique_ptr<skim::FilterBank> bank;
  std::unique_ptr<skim::Detector> detector;
  std::vector<float> row;
  std::vector<Tracked> tracked;
  std::vector<Ban> bans;
  std::vector<skim::Candidate> candidates;
  std::vector<RobustEvent> engineEvents;
  std::vector<SkimEvent> events;
  std::vector<float> clean;
  std::vector<skim::Neighbour> neighbours;
  std::vector<Complex> fill;  // noise for the channels' stop bands
  std::int64_t inputs = 0;
  int nextId = 1;
  int nextSerial = 1;
};

void Skimmer::Impl::Push(const float* samples, std::size_t count) {
  const std::size_t width = layout.complex ? 2 : 1;
  while (count > 0) {
    const std::size_t n = std::min<std::size_t>(count, 4096);
    clean.assign(samples, samples + n * width);
    for (float& v : clean) {
      if (!std::isfinite(v)) v = 0;
    }
    for (std::size_t done = 0; done < n;) {
      done += bank->Feed(clean.data() + done * width, n - done);
      if (bank->ready()) {
        Block();
        bank->Next();
      }
    }
    inputs += static_cast<std::int64_t>(n);
    samples += n * width;
    count -= n;
  }
}

void Skimmer::Impl::Block() {
  for (std::size_t i = 0; i < row.size(); ++i) row[i] = bank->Power(firstBin + static_cast<long>(i));
  detector->Frame(row.data());
  const std::int64_t block = bank->blocks() - 1;
  const std::int64_t frame = block;
  for (Tracked& s : tracked) Follow(s, block);
  for (Tracked& s : tracked) Cut(s, block);
  for (Tracked& w : tracked) {
    // Neighbours loud enough to click into this channel.
    neighbours.clear();
    for (const Tracked& n : tracked) {
      if (&n == &w || std::fabs(n.bin - w.bin) * layout.binHz > kClickReachHz || n.ratio < kClickLevel * w.ratio) continue;
      skim::Neighbour nb;
      nb.serial = n.serial;
      nb.edges = &n.edges;
      nb.mixer = w.mixer * std::conj(n.mixer);
      nb.turn = w.turn - n.turn;
      neighbours.push_back(nb);
    }
    Feed(w, block, neighbours);
  }
  // New signals, a few times a second.
  if (frame % 4 == 0 && tracked.size() < options.maxSignals) {
    detector->Candidates(reach, &candidates);
    bans.erase(std::remove_if(bans.begin(), bans.end(), [&](const Ban& b) { return b.until < frame; }), bans.end());
    for (const skim::Candidate& c : candidates) {
      if (tracked.size() >= options.maxSignals) break;
      const double near = kSeparationHz / layout.binHz;
      bool taken = false;
      for (const Tracked& s : tracked) taken = taken || std::fabs(s.bin - c.bin) < near;
      for (const Ban& b : bans) taken = taken || std::fabs(b.bin - c.bin) < near;
      if (!taken) Open(c);
    }
  }
  for (std::size_t i = tracked.size(); i-- > 0;) {
    const Tracked& s = tracked[i];
    const double quiet = static_cast<double>(frame - s.lastKeyed) / frameRate;
    const double age = static_cast<double>(frame - s.created) / frameRate;
    const bool unjudged = s.id == 0 && age > kJudgeSeconds;
    if (unjudged) bans.push_back({s.bin, frame + static_cast<std::int64_t>(kBanSeconds * frameRate)});
    if (quiet > options.retireSeconds || unjudged) Retire(i, unjudged);
  }
}

void Skimmer::Impl::Follow(Tracked& s, std::int64_t block) {
  if (detector->KeyedNear(s.bin)) s.lastKeyed = block;
  s.gate[static_cast<std::size_t>(block % static_cast<std::int64_t>(s.gate.size()))] =
      detector->AboveNear(s.bin, kGateRatio) ? 1 : 0;
  // Follow a drift slowly, from frames where the tone stands clear.
  // Only a peak within half a bin counts: a neighbour's main lobe or
  // splatter must not pull the channel away while this signal is silent.
  double peak = 0;
  if (detector->PeakNear(s.bin, &peak) && std::fabs(peak - s.bin) < 0.5) {
    const double offset = BinFrequency(s.bin + 0.05 * (peak - s.bin)) - static_cast<double>(s.centre) * layout.binHz;
    if (std::fabs(offset) < kDriftLimitHz) {
      s.bin += 0.05 * (peak - s.bin);
      if (std::fabs(offset - s.filter.offset()) > 0.05) s.filter.SetOffset(offset);
    }
  }
  s.ratio = detector->RatioNear(s.bin);
}

float Skimmer::Impl::SnrDb(const Tracked& s) const {
  // The loudest stretches of the channel over its noise per sample: white
  // noise of variance v per sample at rate r puts 2500 v / r in 2500 Hz,
  // for real input (the channel holds half the tone's amplitude) and I/Q
  // alike.
  const double noise = std::max(1e-30, s.noise.noise());
  const double tone = std::max(0.0, static_cast<double>(s.level) - s.filter.gain() * noise);
  return static_cast<float>(10 * std::log10(std::max(1e-6, tone * layout.outRate / (2500 * noise))));
}

void Skimmer::Impl::SetNoise(Tracked& s) {
  // The channel's noise per sample from the bin's: white noise of variance
  // v gives v times the Hann window's energy (3N/8) in a bin, and v / D per
  // channel sample.
  const double size = static_cast<double>(layout.size);
  s.noise.SetLimit(detector->NoiseNear(s.bin) / (0.375 * size) / static_cast<double>(layout.decimation));
}

void Skimmer::Impl::Cut(Tracked& s, std::int64_t block) {
  const std::size_t half = layout.channelBins / 2;
  const std::int64_t first = block * static_cast<std::int64_t>(half);
  s.y.resize(half);
  bank->Cut(s.centre, block, s.y.data());
  // The bank mixes bin k down by exactly k / M cycles per channel sample.
  const auto m = static_cast<long>(layout.channelBins);
  const long k = ((s.centre % m) + m) % m;
  const long phase = static_cast<long>((k * (first % m)) % m);
  // The turn of the centre as it is, not wrapped: between samples, where
  // click shapes are read, a whole cycle per sample is not nothing.
  const double bankTurn = -static_cast<double>(s.centre) / static_cast<double>(m);
  const double a = -2 * skim::kPi * static_cast<double>(phase) / static_cast<double>(m);
  s.mixer = Complex(static_cast<float>(std::cos(a)), static_cast<float>(std::sin(a))) * s.filter.phasor();
  s.turn = bankTurn + s.filter.turn();
  s.filter.Process(s.y.data(), s.y.size());
  s.edges.Process(s.y.data(), s.y.size(), first);
}

void Skimmer::Impl::Feed(Tracked& s, std::int64_t block, const std::vector<skim::Neighbour>& near) {
  const std::int64_t first = block * static_cast<std::int64_t>(layout.channelBins / 2);
  s.clicks.Process(s.y.data(), s.y.size(), first, near);
  Gate(s);
  s.noise.Process(s.y.data(), s.y.size());
  // What the recogniser is given, slot by slot, to judge its characters by.
  float power = 0;
  for (const Complex& z : s.y) power += std::norm(z);
  power /= static_cast<float>(s.y.size());
  s.level = std::max(power, s.level * kLevelDecay);
  s.slots[static_cast<std::size_t>(s.pushed / static_cast<std::int64_t>(s.y.size())) % kSlots] = power;
  s.pushed += static_cast<std::int64_t>(s.y.size());
  s.decoder->Push(reinterpret_cast<const float*>(s.y.data()), s.y.size());
  Drain(s);
}

void Skimmer::Impl::Gate(Tracked& s) const {
  // What stays far under the signal's own key-down level is no part of it:
  // mostly a neighbour's key clicks, short blips that a recogniser would
  // otherwise take for very fast dots. Between the signal's own marks they
  // are pushed down towards the noise.
  const float open = kGateOpen * s.level, close = kGateClose * s.level;
  const auto smooth = static_cast<float>(1 - std::exp(-1000.0 / (kGateMs * layout.outRate)));
  for (Complex& z : s.y) {
    s.envelope += smooth * (std::norm(z) - s.envelope);
    s.open = s.open ? s.envelope > close : s.envelope > open;
    if (!s.open) z *= kGateDepth;
  }
}

void Skimmer::Impl::Open(const skim::Candidate& c) {
  const long centre = firstBin + static_cast<long>(c.index);
  Tracked s(layout.outRate, (c.bin - static_cast<double>(c.index)) * layout.binHz, &fill, static_cast<std::uint64_t>(nextSerial));
  s.bin = c.bin;
  s.centre = centre;
  RobustOptions o;
  o.sampleRate = layout.outRate;
  o.complex = true;
  o.pitchGiven = true;
  o.pitchHz = 0;
  // The channel is centred on the signal: the recogniser looks within a
  // bin of its spectrum either side (about 8 Hz) and follows a drift
  // from there, so nothing beside the signal can draw it away.
  o.bandLoHz = -5;
  o.bandHiHz = 5;
  s.decoder = std::make_unique<RobustDecoder>(o);
  const std::int64_t now = bank->blocks() - 1;
  s.created = now;
  s.lastKeyed = now;
  s.gate.assign(bank->history() + 64, 1);  // before it was followed: no say
  s.slots.assign(kSlots, 0.0f);
  s.serial = nextSerial++;
  s.ratio = c.ratio;
  SetNoise(s);
  const std::int64_t from = bank->oldestBlock();
  s.firstOut = from * static_cast<std::int64_t>(layout.channelBins / 2);
  // Its key-down level over what is replayed, so that the gate knows it
  // from the first mark on.
  skim::ChannelFilter probe = s.filter;
  std::vector<Complex> y(layout.channelBins / 2);
  for (std::int64_t b = from; b <= now; ++b) {
    bank->Cut(s.centre, b, y.data());
    probe.Process(y.data(), y.size());
    float power = 0;
    for (const Complex& z : y) power += std::norm(z);
    s.level = std::max(s.level, power / static_cast<float>(y.size()));
  }
  for (std::int64_t b = from; b <= now; ++b) {
    Cut(s, b);
    Feed(s, b, {});
  }
  tracked.push_back(std::move(s));
}

bool Skimmer::Impl::Loud(const Tracked& s, const RobustEvent& e) const {
  const auto width = static_cast<double>(layout.channelBins / 2);
  const auto first = static_cast<std::int64_t>(e.start * layout.outRate / width);
  const auto last = static_cast<std::int64_t>(e.time * layout.outRate / width);
  const std::int64_t newest = s.pushed / static_cast<std::int64_t>(width) - 1;
  if (first < 0 || last < first || newest - first >= static_cast<std::int64_t>(kSlots) || last > newest) return true;
  float sum = 0;
  for (std::int64_t k = first; k <= last; ++k) sum += s.slots[static_cast<std::size_t>(k) % kSlots];
  return sum / static_cast<float>(last - first + 1) >= kCharacterLevel * s.level;
}

bool Skimmer::Impl::Gated(const Tracked& s, double from, double to) const {
  // Block f spans input samples (f - 1) x hop to (f + 1) x hop.
  const double hop = static_cast<double>(layout.hop);
  const auto first = static_cast<std::int64_t>(std::floor(from * layout.rate / hop - 1));
  const auto last = static_cast<std::int64_t>(std::ceil(to * layout.rate / hop + 1));
  const std::int64_t newest = bank->blocks() - 1;
  const auto size = static_cast<std::int64_t>(s.gate.size());
  for (std::int64_t f = std::max(first, newest - size + 1); f <= std::min(last, newest); ++f) {
    if (f >= 0 && s.gate[static_cast<std::size_t>(f % size)] != 0) return true;
  }
  // Older than the gate remembers: no say.
  return first < newest - size + 1;
}

void Skimmer::Impl::Drain(Tracked& s) {
  engineEvents.clear();
  s.decoder->Take(&engineEvents);
  for (const RobustEvent& e : engineEvents) Emit(s, e);
}

void Skimmer::Impl::Emit(Tracked& s, const RobustEvent& e) {
  SkimEvent out;
  out.kind = SkimEventKind::kText;
  out.time = EventSeconds(s, e.time);
  out.start = EventSeconds(s, e.start);
  // The end of a transmission separates words like a word gap does.
  out.wordGap = e.wordGap || e.lineEnd;
  out.text = out.wordGap ? " " : e.text;
  out.code = e.code;
  out.confidence = e.confidence;
  out.wpm = e.wordGap || e.lineEnd ? s.wpm : e.wpm;
  out.snrDb = SnrDb(s);
  out.freqHz = BinFrequency(s.bin);
  if (out.wordGap) {
    if (s.lastWasGap) return;
  } else if (!Gated(s, out.start, out.time) || !Loud(s, e)) {
    return;  // the spectrum saw nothing there, or nothing near the signal's level: noise
  }
  s.lastWasGap = out.wordGap;
  if (!out.wordGap) s.wpm = e.wpm;
  s.snrDb = out.snrDb;
  if (s.id == 0) {
    // Held until enough characters have passed to judge them Morse text,
    // so that neither a stray one read from noise nor speech announces
    // anything.
    s.pending.push_back(std::move(out));
    skim::Trim(&s.pending);
    if (!skim::LooksLikeMorse(s.pending)) return;
    s.id = nextId++;
    SkimEvent found = s.pending.front();
    found.kind = SkimEventKind::kFound;
    found.time = found.start;
    found.text.clear();
    found.code.clear();
    found.confidence = 0;
    found.signal = s.id;
    events.push_back(found);
    for (SkimEvent& p : s.pending) {
      p.signal = s.id;
      events.push_back(std::move(p));
    }
    s.pending.clear();
    return;
  }
  out.signal = s.id;
  events.push_back(std::move(out));
}

void Skimmer::Impl::Retire(std::size_t i, bool quietly) {
  Tracked& s = tracked[i];
  if (!quietly) {
    s.decoder->Flush();
    Drain(s);
  }
  if (s.id != 0) {
    SkimEvent lost;
    lost.kind = SkimEventKind::kLost;
    lost.signal = s.id;
    lost.time = FrameSeconds(s.lastKeyed);
    lost.freqHz = BinFrequency(s.bin);
    lost.wpm = s.wpm;
    lost.snrDb = s.snrDb;
    events.push_back(lost);
  }
  tracked.erase(tracked.begin() + static_cast<std::ptrdiff_t>(i));
}

Skimmer::Skimmer(const SkimOptions& options) : impl_(std::make_unique<Impl>(options)) {}
Skimmer::~Skimmer() = default;

void Skimmer::Push(const float* samples, std::size_t count) { impl_->Push(samples, count); }

void Skimmer::Flush() {
  Impl& m = *impl_;
  // Complete the last block, and one more so its second half is read too.
  const std::size_t width = m.layout.complex ? 2 : 1;
  const std::vector<float> zeros(m.layout.hop * width, 0.0f);
  const std::int64_t inputs = m.inputs;
  m.Push(zeros.data(), m.layout.hop);
  m.Push(zeros.data(), m.layout.hop);
  m.inputs = inputs;
  while (!m.tracked.empty()) m.Retire(m.tracked.size() - 1, false);
}

void Skimmer::Take(std::vector<SkimEvent>* out) {
  for (SkimEvent& e : impl_->events) out->push_back(std::move(e));
  impl_->events.clear();
}

std::vector<SkimSignal> Skimmer::signals() const {
  std::vector<SkimSignal> out;
  for (const Impl::Tracked& s : impl_->tracked) {
    SkimSignal g;
    g.signal = s.id;
    g.freqHz = impl_->BinFrequency(s.bin);
    g.wpm = s.wpm;
    g.snrDb = s.snrDb;
    g.lastHeard = impl_->FrameSeconds(s.lastKeyed);
    out.push_back(g);
  }
  return out;
}

double Skimmer::seconds() const { return static_cast<double>(impl_->inputs) / impl_->layout.rate; }
double Skimmer::bandLoHz() const { return impl_->BinFrequency(0); }
double Skimmer::bandHiHz() const { return impl_->BinFrequency(static_cast<double>(impl_->lastBin - impl_->firstBin)); }
double Skimmer::binHz() const { return impl_->layout.binHz; }

std::size_t Skimmer::memoryBytes() const {
  const Impl& m = *impl_;
  std::size_t total = sizeof(Impl) + m.bank->memoryBytes() + m.detector->memoryBytes() +
                      m.row.capacity() * sizeof(float) + m.clean.capacity() * sizeof(float);
  for (const Impl::Tracked& s : m.tracked) total += sizeof(s) + s.decoder->memoryBytes() + s.gate.capacity() + 8 * 256;
  return total;
}

}  // namespace tolvane
