// The robust recogniser's front end: finds the keyed tone's pitch, mixes it
// down to zero and filters a channel around it, one baseband value per
// millisecond or so. Internal to src/robust.
#ifndef TOLVANE_SRC_ROBUST_FRONT_END_H
#define TOLVANE_SRC_ROBUST_FRONT_END_H

#include <cstdint>
#include <memory>
#include <vector>

#include "robust/dsp.h"
#include "robust/robust.h"

namespace tolvane::robust {

// One baseband value: the channel around the pitch (narrow) and the wider
// band it was cut from, both at zero frequency, and the input sample it
// stands for.
struct Baseband {
  Complex narrow;
  Complex wide;
  std::int64_t input = 0;
};

// Receives the front end's output.
class BasebandSink {
 public:
  virtual ~BasebandSink() = default;
  // A new signal was locked on at `pitchHz`; the baseband that follows
  // starts again, earlier, from the history kept for this.
  virtual void Locked(double pitchHz, double basebandRate) = 0;
  virtual void Sample(const Baseband& b) = 0;
};

class FrontEnd {
 public:
  // Listens to what `listen` says: its rate, real or I/Q, and the pitch
  // or band to look in.
  explicit FrontEnd(const RobustOptions& listen);
  ~FrontEnd();
  FrontEnd(const FrontEnd&) = delete;
  FrontEnd& operator=(const FrontEnd&) = delete;

  // Real samples, or I/Q pairs (count pairs) when listening to I/Q.
  void Push(const float* samples, std::size_t count, BasebandSink* sink);
  // Narrows the channel to suit a dot of `dotSeconds`.
  void SetDot(double dotSeconds);
  // Whether the engine has judged the locked signal to be Morse; one that
  // has not gives way to a stronger keyed signal at once.
  void SetHolding(bool holding);
  // Whether a receiver AGC's dips after crashes are undone before the
  // channel filter; the engine judges where that is safe.
  void SetGainUndo(bool on);
  // Moves the oscillator by `hz` to follow a drifting signal.
  void Nudge(double hz);
  // `hz` held near the pitch asked for, or within the band searched (one
  // asked for, or the input's): a signal followed there never leads the
  // channel onto a louder one beside it, whose skirt would leak in at the
  // channel's edge, nor down the slope of low-frequency noise.
  double Allowed(double hz) const;

  bool locked() const;
  // Whether the locked tone is keyed in step with others a voice's pitch
  // away: one harmonic of a voice.
  bool voiced() const;
  double pitchHz() const;
  double basebandRate() const;
  // Baseband samples already on their way through the filters, mixed with
  // the oscillator as it was: a nudge shows only after them.
  std::size_t mixDelay() const;
  // Input samples per baseband sample.
  std::size_t inputPerBaseband() const;
  // For noise through the channel filter: the variance of a sum of `n`
  // consecutive outputs over that of one, and the filter's noise bandwidth.
  double SumVariance(std::size_t n) const;
  double noiseBandwidthHz() const;
  std::size_t memoryBytes() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace tolvane::robust

#endif  // TOLVANE_SRC_ROBUST_FRONT_END_H
