// The engine's public face: blocks in, events out.
#include <algorithm>

#include "robust/engine.h"

namespace tolvane {

RobustDecoder::RobustDecoder(const RobustOptions& options) : impl_(std::make_unique<Impl>(options)) {}
RobustDecoder::~RobustDecoder() = default;

void RobustDecoder::Push(const float* samples, std::size_t count) {
  // Non-finite values count as silence; they must reach no filter.
  const std::size_t width = impl_->options.complex ? 2 : 1;
  float clean[512];
  for (std::size_t done = 0; done < count;) {
    const std::size_t n = std::min<std::size_t>(count - done, sizeof clean / sizeof clean[0] / width);
    for (std::size_t i = 0; i < n * width; ++i) {
      const float v = samples[done * width + i];
      clean[i] = std::isfinite(v) ? v : 0.0f;
    }
    impl_->front.Push(clean, n, impl_.get());
    done += n;
  }
}

void RobustDecoder::Flush() {
  // Push the filters' tails and the gain's delay out, then decide
  // everything.
  // In small blocks: one 0.3 s block at 48 kHz would be the engine's
  // largest allocation.
  constexpr std::size_t kBlock = 256;
  const float silence[kBlock * 2] = {};
  for (auto left = static_cast<std::size_t>(0.5 * impl_->options.sampleRate); left > 0;) {
    const std::size_t n = std::min(left, kBlock);
    impl_->front.Push(silence, n, impl_.get());
    left -= n;
  }
  impl_->Analyse(true);
}

void RobustDecoder::Take(std::vector<RobustEvent>* out) {
  for (RobustEvent& e : impl_->events) out->push_back(std::move(e));
  impl_->events.clear();
}

RobustStatus RobustDecoder::status() const {
  const Impl& m = *impl_;
  RobustStatus s;
  s.locked = m.front.locked();
  s.open = m.text.open();
  s.pitchHz = m.front.pitchHz() + m.afcHz;
  const robust::TimingModel& t = m.Model();
  const double ms = 1000 / m.rate;
  s.dotMs = t.dot * ms;
  s.dashMs = t.dash * ms;
  s.elementGapMs = t.elementGap * ms;
  s.letterGapMs = t.letterGap * ms;
  s.wordGapMs = t.wordGap * ms;
  s.wpm = 2400 / (s.dotMs + s.elementGapMs);
  s.snrDb = m.snrDb;
  s.locks = m.locks;
  s.characters = m.text.characters();
  return s;
}

std::size_t RobustDecoder::memoryBytes() const {
  return sizeof(Impl) + impl_->front.memoryBytes() + impl_->ring.capacity() * sizeof(Complex) +
         impl_->guard.capacity() * sizeof(float) + sizeof(float) * 3 * 640 +
         // a window's working arrays at its longest
         static_cast<std::size_t>(Impl::kMaxWindowSeconds * impl_->rate) * 40;
}

}  // namespace tolvane
