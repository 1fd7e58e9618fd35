// The robust recogniser's last stage: committed tones and gaps become
// characters and word gaps, and a squelch holds them back until a keyed
// signal has shown itself to be Morse. Internal to src/robust.
#ifndef TOLVANE_SRC_ROBUST_TEXT_H
#define TOLVANE_SRC_ROBUST_TEXT_H

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "robust/robust.h"
#include "robust/timing.h"

namespace tolvane::robust {

// What the engine measured of one committed tone.
struct ToneFacts {
  double start = 0;      // seconds of input
  double end = 0;
  double length = 0;     // baseband samples
  double energyRatio = 0;  // the tone's energy over the noise in its length, independent samples counted
  double perSample = 0;    // the tone's power over the noise's, per sample
  double snrDb = 0;      // key-down power over noise in 2500 Hz
  bool pure = true;      // steady in level and frequency, as a keyed carrier is
  bool carrier = false;  // far too long for Morse at any speed around it
  bool brief = false;    // too short for its steadiness or frequency to be measured
  bool offsetKnown = false;  // clear enough for its frequency to be measured:
  double offsetHz = 0;       // its mean frequency against the channel's
  double hz = 0;             // and as heard: the channel's own included
};

// The code a character's tones spell, and the character: a table character,
// a prosign such as "<SK>" for a code no character has, or "?".
struct Reading {
  std::string code;
  std::string text;
  float confidence = 0;
};

// Reads a code; a code no character has is revised where its least certain
// tone, read the other way, makes one (`margins` per tone, 0 to 1), else
// named as the prosign it is, else "?".
Reading ReadCode(const std::string& code, const std::vector<float>& margins, Charset charset = Charset::kBasic);

class TextStage {
 public:
  void SetRate(double basebandRate) { rate_ = basebandRate; }
  // The alphabet codes are read in (an extended one adds letters).
  void SetCharset(Charset charset) { charset_ = charset; }
  // Whether the noise the tones are measured against is known yet: until
  // it is, their strengths are rough and the squelch asks for more.
  void SetSettled(bool settled) { settled_ = settled; }
  // Whether the tones come and go with others a voice's pitch away: the
  // squelch does not open for them.
  void SetVoiced(bool voiced) { voiced_ = voiced; }
  void SetSignal(double pitchHz, double wpm, double snrDb);
  void Tone(const ToneFacts& tone, const TimingModel& model);
  // A committed gap of `length` samples starting at `startSeconds`.
  void Gap(double length, double startSeconds, const TimingModel& model);
  // The gap still open after the last tone has lasted `length` samples by
  // `nowSeconds`: a letter or a word may already be known to have ended.
  void OpenGap(double length, double nowSeconds, const TimingModel& model);
  void Finish(double nowSeconds);
  // Forgets what the squelch holds and the character in progress.
  void Drop();
  // The signal is being left: what is read from here on is released only
  // if the squelch is already open (until Drop).
  void Seal() { sealed_ = true; }
  // Events released by the squelch since the last call.
  void Take(std::vector<RobustEvent>* out);
  bool open() const { return open_; }
  std::size_t characters() const { return released_; }

 private:
  // Adds a tone's evidence for opening the squelch: its strength (log
  // energy over the noise) and its frequency.
  void Judge(const ToneFacts& tone, double strength);
  void EndCharacter();
  void EndWord(double atSeconds);
  void Hold(RobustEvent e, bool character);
  void Decide(double nowSeconds, bool final);
  void Close(double nowSeconds);
  void EndLine(double atSeconds);
  bool Weak(double strength) const;

  // The character in progress.
  std::string code_;
  std::vector<float> margins_;
  double charStart_ = 0;
  double charEnd_ = 0;
  double lastToneEnd_ = -1;
  double charStrength_ = 0;  // of the character in progress: sum, and tones
  int charTones_ = 0;
  float charConfidence_ = 1;
  bool wordOpen_ = false;  // a character since the last word gap

  // The squelch: events wait in `held_` until the signal is judged.
  std::deque<RobustEvent> held_;
  std::deque<double> heldStrength_;  // per held event: its tones' mean log energy ratio
  std::vector<RobustEvent> released;
  std::vector<double> recent_;         // log energy ratios of the last tones
  std::vector<double> recentOffsets_;  // the clear ones' frequencies against the channel's, Hz
  std::vector<double> recentHz_;       // and as heard
  double reference_ = 0;      // the open signal's usual character strength
  double lastStrong_ = -1;    // when its last character at that strength ended
  double lastReleased_ = 0;   // the strength of the last character let through
  double strongOffset_ = 0;   // the frequency of the run of strong tones, its first's
  double strongHz_ = 0;       // and as heard
  double lastReference_ = 0;  // the last transmission's usual strength, after it ended
  double closedAt_ = 0;
  double silence_ = 2.5;  // seconds without strong characters that end a transmission
  std::size_t released_ = 0;
  int strongRun_ = 0;  // strong tones in a row
  bool runFrequencyKnown_ = false;  // strongOffset_ and strongHz_ are the run's
  bool open_ = false;
  bool sealed_ = false;
  bool settled_ = true;
  bool voiced_ = false;
  bool lineHasText_ = false;  // characters released since the last line end

  double pitch_ = 0, wpm_ = 0, snr_ = 0;
  double rate_ = 1000;
  Charset charset_ = Charset::kBasic;
};

}  // namespace tolvane::robust

#endif  // TOLVANE_SRC_ROBUST_TEXT_H
