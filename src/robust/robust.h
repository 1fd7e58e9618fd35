// The robust recogniser, for real recordings: noise, fading, hand keying,
// Farnsworth spacing and speed changes.
#ifndef TOLVANE_SRC_ROBUST_ROBUST_H
#define TOLVANE_SRC_ROBUST_ROBUST_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "wav/wav.h"

namespace tolvane {

//
// A second recogniser beside the one above, for real recordings: noise,
// fading, hand keying, Farnsworth spacing and speed changes. It finds the
// tone's pitch, filters a narrow band around it matched to the keying speed,
// decides on and off against the tracked noise and signal levels with
// hysteresis, drops glitches, and reads tones and gaps against a unit it
// tracks through the recording.

// One decoded character and how sure the recogniser is of it (0 to 1: the
// smallest margin by which any of its tones or gaps fell on its side of a
// decision boundary; 0 for a code no character has).
struct RobustCharacter {
  char character = '?';
  float confidence = 0;
  double seconds = 0;  // where it starts
  std::string code;
};

struct SpeedPoint {
  double seconds = 0;
  double wpm = 0;
};

struct RobustReport {
  double pitchHz = 0;
  double snrDb = 0;         // estimated key-down tone power over noise in 2500 Hz
  double filterMs = 0;      // the matched filter's length (where the speed is lowest)
  double noiseLevel = 0;    // envelope level with the key up
  double signalLevel = 0;   // median envelope level with the key down
  double onFraction = 0;    // hysteresis thresholds, as fractions of the
  double offFraction = 0;   //   way from the noise level to the signal level
  double wordGapUnits = 0;  // gaps longer than this many units end a word
  std::size_t glitches = 0; // runs shorter than a fraction of a dot, removed
  std::vector<SpeedPoint> speed;
  std::vector<RobustCharacter> characters;
};

// The tone's pitch, 200 to 2000 Hz, from the whole recording's averaged
// spectrum; 0 when there is no tone at all.
double EstimatePitch(const std::int16_t* samples, std::size_t count);

// Mixes the tone at `pitchHz` down to zero and keeps one complex value per
// millisecond (the mean of 8 samples): the recording's baseband.
void Demodulate(const std::int16_t* samples, std::size_t count, double pitchHz,
                std::vector<float>* inPhase, std::vector<float>* quadrature);

// The tone's key-down (true) and key-up stretches, in milliseconds.
struct KeyRun {
  bool on = false;
  double start = 0;
  double length = 0;
};

// Merges every run shorter than `shortestMs` into its neighbours, shortest
// first; returns how many were merged away.
std::size_t RemoveGlitches(std::vector<KeyRun>* runs, double shortestMs);

// The length of a dot in milliseconds that best explains the tone lengths
// as dots (1 unit) and dashes (3 units), with a mild preference for 12 to
// 30 WPM that settles recordings where every tone is alike.
double EstimateDotMs(const std::vector<double>& toneMs);

bool DecodeRobust(const std::int16_t* samples, std::size_t count, std::string* text,
                  RobustReport* report = nullptr, DecodeFailure* why = nullptr);

}  // namespace tolvane

#endif  // TOLVANE_SRC_ROBUST_ROBUST_H
