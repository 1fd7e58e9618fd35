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
  s.clicks.Process(s.y.data(), s.y.size(), first, near, s.level);
  if (s.hearing) {
    s.heard.insert(s.heard.end(), s.y.begin(), s.y.end());
    if (static_cast<double>(s.heard.size()) > kHeardSeconds * layout.outRate) {
      s.hearing = false;
      std::vector<Complex>().swap(s.heard);
    }
  }
  Pass(s, s.y.data(), s.y.size(), s.level, &s.noise, &s.keyGate, s.decoder.get());
  Drain(s);
}

void Skimmer::Impl::Pass(Tracked& s, Complex* y, std::size_t n, float gateLevel, skim::NoiseFill* noise,
                         skim::GateState* gate, RobustDecoder* decoder) {
  // The noise measured before the gate, so that the SNR and the fill are
  // the channel's own.
  noise->Measure(y, n);
  Gate(y, n, gateLevel, gate);
  noise->Fill(y, n);
  // What the recogniser is given, slot by slot, to judge its characters by.
  float power = 0;
  for (std::size_t k = 0; k < n; ++k) power += std::norm(y[k]);
  power /= static_cast<float>(n);
  s.level = std::max(power, s.level * kLevelDecay);
  s.slots[static_cast<std::size_t>(s.pushed / static_cast<std::int64_t>(n)) % kSlots] = power;
  s.pushed += static_cast<std::int64_t>(n);
  decoder->Push(reinterpret_cast<const float*>(y), n);
}

void Skimmer::Impl::Gate(Complex* y, std::size_t n, float level, skim::GateState* gate) const {
  // What stays far under the signal's own key-down level is no part of it:
  // mostly a neighbour's key clicks, short blips that a recogniser would
  // otherwise take for very fast dots. Between the signal's own marks they
  // are pushed down towards the noise.
  const float open = kGateOpen * level, close = kGateClose * level;
  const auto smooth = static_cast<float>(1 - std::exp(-1000.0 / (kGateMs * layout.outRate)));
  for (std::size_t k = 0; k < n; ++k) {
    gate->envelope += smooth * (std::norm(y[k]) - gate->envelope);
    gate->open = gate->open ? gate->envelope > close : gate->envelope > open;
    if (!gate->open) y[k] *= kGateDepth;
  }
}

bool Skimmer::Impl::Loud(const Tracked& s, const RobustEvent& e, float least) const {
  const double width = static_cast<double>(layout.channelBins) / 2;
  const auto first = static_cast<std::int64_t>(e.start * layout.outRate / width);
  const auto last = static_cast<std::int64_t>(e.time * layout.outRate / width);
  const std::int64_t newest = s.pushed / static_cast<std::int64_t>(width) - 1;
  if (first < 0 || last < first || newest - first >= static_cast<std::int64_t>(kSlots) || last > newest) return true;
  float sum = 0;
  for (std::int64_t k = first; k <= last; ++k) sum += s.slots[static_cast<std::size_t>(k) % kSlots];
  return sum / static_cast<float>(last - first + 1) >= least * s.level;
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
  for (const RobustEvent& e : engineEvents) {
    // The rest came from the recogniser just replaced.
    if (Emit(s, e)) break;
  }
}

bool Skimmer::Impl::Translate(Tracked& s, const RobustEvent& e, SkimEvent* result, float least) {
  SkimEvent& out = *result;
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
    if (s.lastWasGap) return false;
  } else if (!Gated(s, out.start, out.time) || !Loud(s, e, least)) {
    return false;  // the spectrum saw nothing there, or nothing near the signal's level: noise
  }
  s.lastWasGap = out.wordGap;
  if (!out.wordGap) s.wpm = e.wpm;
  s.snrDb = out.snrDb;
  out.signal = s.id;
  return true;
}

bool Skimmer::Impl::Emit(Tracked& s, const RobustEvent& e) {
  SkimEvent out;
  if (!Translate(s, e, &out)) return false;
  if (s.id == 0) {
    // Held until enough characters have passed to judge them Morse text,
    // so that neither a stray one read from noise nor speech announces
    // anything.
    s.pending.push_back(std::move(out));
    skim::Trim(&s.pending);
    if (!skim::LooksLikeMorse(s.pending)) return false;
    // Held a little longer while its speed is still settling, to read it
    // again at the right one.
    const double age = static_cast<double>(bank->blocks() - 1 - s.created) / frameRate;
    if (!Settled(s.decoder->status()) && age < kSettleSeconds) return false;
    const bool again = ReadAgain(s);
    Announce(s);
    return again;
  }
  if (!out.wordGap) {
    s.pending.push_back(out);
    skim::Trim(&s.pending, skim::kJudgedCharacters);
    s.failures = skim::LooksLikeMorse(s.pending) ? 0 : s.failures + 1;
  }
  events.push_back(std::move(out));
  return false;
}

RobustOptions Skimmer::Impl::DecoderOptions() const {
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
  return o;
}

bool Skimmer::Impl::Settled(const RobustStatus& known) {
  // A speed not yet settled shows as dots and the gaps between them far
  // apart: no fist weights its marks that much.
  const double weighting = known.dotMs / std::max(known.elementGapMs, 1e-3);
  return weighting >= kMostWeighting && weighting <= 1 / kMostWeighting;
}

std::size_t Skimmer::Impl::Begins(const Tracked& s, float floor) const {
  // The first block of what was heard at the level given, a little before.
  const std::size_t width = std::max<std::size_t>(1, layout.channelBins / 2);
  std::size_t begin = 0;
  while (begin + width <= s.heard.size()) {
    float power = 0;
    for (std::size_t k = begin; k < begin + width; ++k) power += std::norm(s.heard[k]);
    if (power >= floor * static_cast<float>(width)) break;
    begin += width;
  }
  const auto lead = static_cast<std::size_t>(kLeadSeconds * layout.outRate) / width * width;
  return begin > lead ? begin - lead : 0;
}

bool Skimmer::Impl::ReadAgain(Tracked& s) {
  // A recogniser learns a signal's speed from its first tones, and beside
  // louder stations their splatter and the noise can teach it a wrong one:
  // its first words come out as strings of E and T. Once the signal reads
  // as Morse its speed and level are known, and what was heard is read
  // again by a new recogniser that starts from that speed, where the
  // signal first reached that level.
  if (!s.hearing || s.heard.empty()) return false;
  const RobustStatus known = s.decoder->status();
  if (!Settled(known)) return false;
  RobustOptions o = DecoderOptions();
  // Its speed is sure by now, its spacing less so: a first reading may
  // still take word gaps for letter gaps. A word gap taken too short
  // corrects itself as words come; one too long only after ten letters
  // have run together: it starts at most at twice the letter gap, under
  // the standard seven units to three.
  const double unit = std::max(known.dotMs, known.elementGapMs);
  const double letter = known.letterGapMs >= 2 * unit && known.letterGapMs <= 5 * unit ? known.letterGapMs : 3 * unit;
  o.keying = {known.dotMs, known.dashMs, known.elementGapMs, letter, std::clamp(known.wordGapMs, 1.5 * letter, 2.0 * letter)};
  auto decoder = std::make_unique<RobustDecoder>(o);
  const std::size_t width = layout.channelBins / 2;
  const float floor = kKnownLevel * s.level;
  const std::size_t begin = Begins(s, floor);
  // The channel's state as it was when opened; the live one comes back
  // unless the new reading is kept.
  Tracked::State live = {s.level, s.pushed, s.noise, s.keyGate};
  const std::vector<float> slots = s.slots;
  s.level = s.start.level;
  s.pushed = 0;
  s.noise = s.start.noise;
  s.keyGate = {};
  for (std::size_t at = 0; at + width <= s.heard.size(); at += width) {
    // Before it, what the channel held was not the signal: quieted as the
    // gate quiets what falls between its marks.
    if (at < begin) {
      for (std::size_t k = at; k < at + width; ++k) s.heard[k] *= kGateDepth;
    }
    Pass(s, s.heard.data() + at, width, std::max(s.level, floor), &s.noise, &s.keyGate, decoder.get());
  }
  std::vector<RobustEvent> read;
  decoder->Take(&read);
  s.hearing = false;
  std::vector<Complex>().swap(s.heard);
  const bool lastWasGap = s.lastWasGap;
  const float wpm = s.wpm;
  s.lastWasGap = true;
  std::vector<SkimEvent> again;
  for (const RobustEvent& e : read) {
    SkimEvent out;
    // Splatter that passed for the signal before it began is several dB
    // under it; the signal's own characters hold most of its level.
    if (Translate(s, e, &out, kReadAgainLevel)) again.push_back(std::move(out));
  }
  s.level = live.level;
  s.noise = live.noise;
  s.keyGate = live.keyGate;
  // Kept only if it reads as Morse too: fewer characters, maybe, where
  // the first reading took splatter for some.
  const std::size_t characters = skim::Characters(again);
  if (!skim::LooksLikeMorse(again, std::min(characters, skim::kJudgedCharacters)) ||
      characters < skim::kJudgedCharacters / 2) {
    s.pushed = live.pushed;
    s.slots = slots;
    s.lastWasGap = lastWasGap;
    s.wpm = wpm;
    return false;
  }
  s.pending = std::move(again);
  s.decoder = std::move(decoder);
  return true;
}

void Skimmer::Impl::Announce(Tracked& s) {
  s.id = nextId++;
  // Read again or not, what was heard is not needed any more.
  s.hearing = false;
  std::vector<Complex>().swap(s.heard);
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
}

}  // namespace tolvane
