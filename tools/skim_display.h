// What `tolvane skim` prints for people: on a terminal, a line per signal
// that grows as its text arrives (each transmission, once over, stays in
// the scrollback); elsewhere, one line per completed transmission per
// signal, written once and never redrawn.
//   712.5 Hz  26 WPM  14 dB  CQ TEST DL1ABC DL1ABC
#ifndef TOLVANE_TOOLS_SKIM_DISPLAY_H
#define TOLVANE_TOOLS_SKIM_DISPLAY_H

#include <cstdio>
#include <map>
#include <string>
#include <vector>

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

}  // namespace tolvane::tool

#endif  // TOLVANE_TOOLS_SKIM_DISPLAY_H
