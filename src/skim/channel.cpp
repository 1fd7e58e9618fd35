// Each signal's channel: cut from the bank, cleaned of neighbours' clicks,
// fed to its own recogniser; what that reads, judged and given out.
#include "skim/judge.h"
#include "skim/skimmer_impl.h"

namespace tolvane {

using namespace skim;

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
  // The noise measured before the gate, so that the SNR and the fill are
  // the channel's own.
  s.noise.Measure(s.y.data(), s.y.size());
  Gate(s);
  s.noise.Fill(s.y.data(), s.y.size());
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

bool Skimmer::Impl::Loud(const Tracked& s, const RobustEvent& e) const {
  const double width = static_cast<double>(layout.channelBins) / 2;
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
      events.push_back(p);
    }
    // From now on its newest characters only, judged again and again.
    skim::Trim(&s.pending, skim::kJudgedCharacters);
    return;
  }
  out.signal = s.id;
  if (!out.wordGap) {
    s.pending.push_back(out);
    skim::Trim(&s.pending, skim::kJudgedCharacters);
    s.failures = skim::LooksLikeMorse(s.pending) ? 0 : s.failures + 1;
  }
  events.push_back(std::move(out));
}

}  // namespace tolvane
