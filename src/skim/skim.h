// The skimmer: every Morse signal in a band at once. A spectrum over time
// finds keyed carriers standing above the local noise floor; each one that
// looks like Morse gets its own narrow channel and its own streaming
// recogniser, is followed as it drifts, and is retired when it stops.
// Real audio or complex I/Q at any rate from 1 kHz up. Also: callsigns
// heard calling CQ, for spots.
#ifndef TOLVANE_SRC_SKIM_SKIM_H
#define TOLVANE_SRC_SKIM_SKIM_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tolvane {

struct SkimOptions {
  double sampleRate = 8000;  // samples (or I/Q pairs) per second, 1000 and up
  bool complex = false;      // interleaved I/Q pairs: the band is -rate/2 .. +rate/2
  // Look for signals between these (Hz of audio; for I/Q offsets from the
  // centre, which may be negative). Both 0: audio from 100 Hz to 0.45 x
  // rate, I/Q from -0.45 to +0.45 x rate.
  double bandLoHz = 0;
  double bandHiHz = 0;
  double retireSeconds = 20;     // a signal unheard this long is retired, its decoder freed
  std::size_t maxSignals = 160;  // decoders at most at once
};

enum class SkimEventKind {
  kFound,  // a signal has been judged Morse; its text follows
  kText,   // a character or a word gap of a found signal
  kLost,   // a found signal was retired (or the input ended)
};

struct SkimEvent {
  SkimEventKind kind = SkimEventKind::kText;
  int signal = 0;       // 1, 2, ... in the order signals are found; never reused
  double time = 0;      // seconds of input: a character's end, a word gap's start;
                        // found: its first character's start; lost: when last heard
  double start = 0;     // a character's first tone
  double freqHz = 0;    // audio offset, or offset from the centre for I/Q
  float wpm = 0;
  float snrDb = 0;      // key-down power over the noise in 2500 Hz
  bool wordGap = false;
  std::string text;     // "C", a prosign such as "<SK>", "?"; " " for a word gap
  std::string code;     // "-.-."; empty for a word gap
  float confidence = 0; // 0 to 1
};

// A signal being followed. Signals not yet judged Morse have id 0.
struct SkimSignal {
  int signal = 0;
  double freqHz = 0;
  float wpm = 0;
  float snrDb = 0;
  double lastHeard = 0;  // seconds of input: its last key-down
};

// Push samples in blocks of any size, take the events they decided, Flush
// at the end of the input. The same samples give the same events however
// they are split. Memory is bounded: a filter bank, a few seconds of its
// spectra, and one recogniser per signal followed. Not thread-safe.
class Skimmer {
 public:
  explicit Skimmer(const SkimOptions& options);
  ~Skimmer();
  Skimmer(const Skimmer&) = delete;
  Skimmer& operator=(const Skimmer&) = delete;

  // Real samples (count of them) or I/Q pairs (count pairs, 2 x count
  // floats). Any scale; non-finite values count as 0.
  void Push(const float* samples, std::size_t count);
  // The end of the input: decides everything pending and retires every signal.
  void Flush();
  // Moves the events decided so far to the end of `out`.
  void Take(std::vector<SkimEvent>* out);

  std::vector<SkimSignal> signals() const;
  double seconds() const;  // input taken so far
  // The band searched, Hz, and the spacing of the detector's bins.
  double bandLoHz() const;
  double bandHiHz() const;
  double binHz() const;
  std::size_t memoryBytes() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// --- Callsigns and spots ----------------------------------------------------

// Whether `word` is shaped like an amateur callsign: a prefix with a
// letter, a digit, a suffix of 1 to 4 letters (DL1ABC, 9A1AA, 3DA0XY),
// optionally a country prefix before a slash (VK2/W1XYZ) and a portable
// suffix after one (/P, /M, /MM, /AM, /QRP, /A, /4). Not 5NN, TEST, DE,
// K3 or IC7300.
bool IsCallsign(const std::string& word);

// A call heard calling CQ, copied the same way twice.
struct SpotCall {
  std::string call;
  int signal = 0;
  double time = 0;    // seconds of input: the second copy's end
  double freqHz = 0;
  float snrDb = 0;
  float wpm = 0;
};

// Reads each signal's text for calls in a CQ: "CQ ... DE CALL", "CQ CALL",
// "CALL TEST", "TEST CALL". A call is spotted once two copies agree letter
// for letter (within 500 Hz and 10 minutes), then not again within 500 Hz
// for 10 minutes.
class Spotter {
 public:
  Spotter();
  ~Spotter();
  Spotter(const Spotter&) = delete;
  Spotter& operator=(const Spotter&) = delete;

  // Every event of a skimmer, in the order it gave them.
  void Add(const SkimEvent& event);
  void Take(std::vector<SpotCall>* out);

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace tolvane

#endif  // TOLVANE_SRC_SKIM_SKIM_H
