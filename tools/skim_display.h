// What `tolvane skim` prints for people: on a terminal, a line per signal
// that grows as its text arrives (each transmission, once over, stays in
// the scrollback); elsewhere, one line per completed transmission per
// signal, written once and never redrawn.
//   712.5 Hz  26 WPM  14 dB  CQ TEST DL1ABC DL1ABC
#ifndef TOLVANE_TOOLS_SKIM_DISPLAY_H
#define TOLVANE_TOOLS_SKIM_DISPLAY_H

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "event_output.h"
#include "skim/skim.h"

namespace tolvane::tool {

// How a signal's frequency is shown: its audio offset, or with a dial
// frequency the frequency on the air.
struct FrequencyView {
  bool dial = false;
  double dialKhz = 0;
  double sign = 1;  // -1 for the lower sideband
  double Khz(double offsetHz) const { return dialKhz + sign * offsetHz / 1000; }
  std::string Label(double offsetHz) const;
};

class SkimText {
 public:
  // `width`: the terminal's columns, or 0 when the output is no terminal.
  SkimText(std::FILE* out, int width, const FrequencyView& view);

  void Event(const SkimEvent& e);
  // Ends the transmissions of signals unheard since well before `now`
  // (seconds of input) and, on a terminal, redraws now and then.
  void Tick(double now, const std::vector<SkimSignal>& signals);
  // Everything still open, as if each transmission had ended.
  void Finish();

 private:
  struct Line {
    double freqHz = 0;
    float wpm = 0, snrDb = 0;
    std::string text;
    double last = -1e9;  // the last character's end
  };

  std::string Render(const Line& line) const;
  void End(int signal);
  void Draw(bool force);

  std::FILE* out_;
  int width_;
  FrequencyView view_;
  std::map<int, Line> lines_;          // open transmissions, by signal
  std::vector<std::string> finished_;  // ended, not yet printed
  int drawn_ = 0;                      // live lines on the screen
  double lastDraw_ = -1;               // wall-clock seconds
};

// `--json`: decode's JSON Lines, each text line written by decode's own
// writer (one per signal, so that a word gap is placed within its signal),
// with the skimmer's lines around them:
//   {"type":"signal","signal":3,"event":"found","time":12.345,"freq":712.5,"wpm":26.1,"snr_db":14.0}
//   {"type":"spot","signal":3,"time":...,"call":"DL1ABC","freq":...,"rf_khz":7012.5,...,"line":"DX de ..."}
// `freq` is the audio offset in Hz (from the centre, for I/Q); with a dial
// frequency, signal and spot lines add `rf_khz`.
class SkimJson {
 public:
  SkimJson(std::FILE* out, const FrequencyView& view);
  void Start(double rate);
  void Event(const SkimEvent& e);
  void Spot(const SpotCall& call, const std::string& line);
  void End(double seconds);

 private:
  std::string Common(double time, double freqHz, double wpm, double snrDb) const;
  void Put(const std::string& line);

  std::FILE* out_;
  FrequencyView view_;
  EventWriter head_;
  std::map<int, std::unique_ptr<EventWriter>> writers_;  // signals found and not lost
  std::size_t characters_ = 0;  // of signals lost
  double last_ = 0;
};

}  // namespace tolvane::tool

#endif  // TOLVANE_TOOLS_SKIM_DISPLAY_H
