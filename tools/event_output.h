// JSON Lines: one object per line, flushed as it is written, so that
// scripts can follow a decode or a skim live. Shared by `decode --json`
// and `skim --json`:
//   {"type":"start","version":1,"rate":8000}
//   {"type":"signal","signal":3,"event":"found","time":12.345,"freq":712.5,"wpm":26.1,"snr_db":14.0}
//   {"type":"text","signal":3,"time":12.345,"text":"C","code":"-.-.","confidence":0.97,"freq":712.5,"wpm":26.1,"snr_db":14.0}
//   {"type":"text","signal":3,"time":12.9,"text":" ","freq":...}        (a word gap: no code)
//   {"type":"spot","signal":3,"time":...,"call":"DL1ABC","freq":...,"rf_khz":7012.5,"wpm":...,"snr_db":...,"line":"DX de ..."}
//   {"type":"end","time":60.0,"chars":412}
// time: seconds of audio from the start (a character's end); freq: the
// audio offset in Hz (from the centre, for I/Q); rf_khz: with a dial
// frequency, the frequency on the air.
#ifndef TOLVANE_TOOLS_EVENT_OUTPUT_H
#define TOLVANE_TOOLS_EVENT_OUTPUT_H

#include <cstddef>
#include <cstdio>
#include <string>

namespace tolvane::tool {

// What every signal line carries.
struct SignalState {
  int signal = 0;
  double time = 0;
  double freqHz = 0;
  double wpm = 0;
  double snrDb = 0;
  bool hasRf = false;
  double rfKhz = 0;
};

// A JSON string literal: quotes, backslashes and control characters escaped.
std::string JsonString(const std::string& text);

class JsonLines {
 public:
  explicit JsonLines(std::FILE* out) : out_(out) {}

  void Start(double rate);
  // "found" or "lost".
  void Signal(const SignalState& s, const char* event);
  // A character (with its code) or a word gap (text " ", code empty).
  void Text(const SignalState& s, const std::string& text, const std::string& code, double confidence);
  void Spot(const SignalState& s, const std::string& call, const std::string& line);
  void End(double time, std::size_t characters);

 private:
  void Write(const std::string& line);
  static std::string Common(const SignalState& s);

  std::FILE* out_;
};

}  // namespace tolvane::tool

#endif  // TOLVANE_TOOLS_EVENT_OUTPUT_H
