// Signal-processing pieces shared by the robust recogniser and the skimmer:
// windowed-sinc low-pass filters. Internal to the core.
#ifndef TOLVANE_SRC_DSP_DSP_H
#define TOLVANE_SRC_DSP_DSP_H

#include <cstddef>
#include <vector>

namespace tolvane::dsp {

constexpr double kPi = 3.14159265358979323846;

// Taps of a linear-phase low-pass filter: a sinc cut at `cutoff` (a
// fraction of the sample rate, below 0.5) under a Kaiser window for
// `attenuationDb` of stop-band rejection; unit gain at 0 Hz. An odd
// `length` centres the filter on a sample.
std::vector<float> LowPass(double cutoff, std::size_t length, double attenuationDb);

// The length a Kaiser low-pass needs for a transition band of `width`
// (a fraction of the sample rate) at `attenuationDb`; always odd.
std::size_t KaiserLength(double width, double attenuationDb);

}  // namespace tolvane::dsp

#endif  // TOLVANE_SRC_DSP_DSP_H
