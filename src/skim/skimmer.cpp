// The skimmer: filter bank, detector and one recogniser per signal.
#include "skim/judge.h"
#include "skim/skimmer_impl.h"

namespace tolvane {

using namespace skim;

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
    // A slow station (a straight key at 12 WPM) may take half a minute
    // for the characters a judgement needs: one that reads steadily is
    // given twice as long.
    const double judgeSeconds =
        skim::Characters(s.pending) >= skim::kJudgedCharacters / 2 ? 2 * kJudgeSeconds : kJudgeSeconds;
    const bool unjudged = (s.id == 0 && age > judgeSeconds) || s.failures >= kFailuresToDrop;
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

void Skimmer::Impl::Open(const skim::Candidate& c) {
  const long centre = firstBin + static_cast<long>(c.index);
  Tracked s(layout.outRate, (c.bin - static_cast<double>(c.index)) * layout.binHz, &fill, static_cast<std::uint64_t>(nextSerial));
  s.bin = c.bin;
  s.centre = centre;
  s.decoder = std::make_unique<RobustDecoder>(DecoderOptions());
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
  s.start.level = s.level;
  s.start.noise = s.noise;
  for (std::int64_t b = from; b <= now; ++b) {
    Cut(s, b);
    Feed(s, b, {});
  }
  tracked.push_back(std::move(s));
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
  for (const Impl::Tracked& s : m.tracked) {
    // The channel filter's taps and delay line, about 2 KB, counted roughly.
    constexpr std::size_t kFilterBytes = 2048;
    total += sizeof(s) + s.decoder->memoryBytes() + s.clicks.memoryBytes() + s.gate.capacity() +
             s.slots.capacity() * sizeof(float) + s.y.capacity() * sizeof(Complex) +
             s.pending.capacity() * sizeof(SkimEvent) + s.heard.capacity() * sizeof(Complex) + kFilterBytes;
  }
  return total;
}

}  // namespace tolvane
