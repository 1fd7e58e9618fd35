// The channel simulator's receiver noise and fading a block at a time, in
// constant memory, for a caller that keys its own tone (the tool's
// practice files).
#ifndef TOLVANE_SIM_STREAM_H
#define TOLVANE_SIM_STREAM_H

#include <complex>
#include <cstddef>
#include <memory>
#include <vector>

#include "sim/sim.h"

namespace tolvane::sim {

namespace dsp {
template <typename Sample>
class BasicStreamFilter;
using StreamFilter = BasicStreamFilter<double>;
class HilbertStream;
class Upsampler;
}

// ReceiverNoise's samples for as long as asked: up to twice
// kLowestNoiseRate, the same numbers, but for the last half filter of a
// ReceiverNoise recording, which hears silence after its end where this
// hears more noise. Above, the same band's noise is made at rate / N, at
// least kLowestNoiseRate, and raised N times, so that its filter (whose
// length grows with the rate) stays short.
class NoiseStream {
 public:
  NoiseStream(const Noise& noise, double power, double rate, Random random);
  ~NoiseStream();
  NoiseStream(const NoiseStream&) = delete;
  NoiseStream& operator=(const NoiseStream&) = delete;
  void Next(float* out, std::size_t count);

  static constexpr double kLowestNoiseRate = 12000;

 private:
  void Refill(std::size_t count);

  Random random_;
  std::unique_ptr<dsp::StreamFilter> filter_;
  std::unique_ptr<dsp::Upsampler> upsampler_;
  double scale_ = 0;
  std::vector<double> white_;
  std::vector<double> ready_;
  std::size_t used_ = 0;
};

// FadingGains' Rayleigh gains one at a time: the same numbers.
class FadingStream {
 public:
  FadingStream(double spreadHz, double rate, Random random);
  std::complex<double> Next();

 private:
  Random random_;
  std::vector<double> taps_;
  double lowRate_;
  double rate_;
  std::size_t n_ = 0;                       // the next gain's index
  std::vector<std::complex<double>> input_; // the scatter filter's window
  std::vector<std::complex<double>> low_;   // low-rate gains from lowFirst_ on
  std::size_t lowFirst_ = 0;
};

// A real signal (a tone at any pitch) through a Rayleigh channel: its
// analytic signal, from a Hilbert filter, times FadingStream's gains, the
// real part kept, as MixReal does with a faded envelope. Output k lines up
// with input k and comes once the input a half filter past it has.
class FadedSignal {
 public:
  FadedSignal(double spreadHz, double rate, Random random);
  ~FadedSignal();
  FadedSignal(const FadedSignal&) = delete;
  FadedSignal& operator=(const FadedSignal&) = delete;
  void Push(const float* in, std::size_t count, std::vector<float>* out);
  void Finish(std::vector<float>* out);  // the input ends here

 private:
  void Emit(std::vector<float>* out);

  FadingStream gains_;
  std::unique_ptr<dsp::HilbertStream> hilbert_;
  std::vector<float> waiting_;   // inputs whose quadrature has not come
  std::size_t waited_ = 0;       // of them, already given out
  std::vector<double> quadrature_;
};

}  // namespace tolvane::sim

#endif  // TOLVANE_SIM_STREAM_H
