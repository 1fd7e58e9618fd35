// The robust recogniser's timing: the lengths of dots, dashes and the three
// kinds of gap, tracked as the speed drifts, and the most likely keying of a
// window given per-step evidence. Internal to src/robust.
#ifndef TOLVANE_SRC_ROBUST_TIMING_H
#define TOLVANE_SRC_ROBUST_TIMING_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tolvane::robust {

// Lengths in baseband samples; spreads are standard deviations of the
// natural logarithm of a length about its class's length.
struct TimingModel {
  double dot = 60;
  double dash = 180;
  double elementGap = 60;
  double letterGap = 180;
  double wordGap = 420;
  double markSpread = 0.15;
  double gapSpread = 0.15;
  // A gap between letters has been seen: until then a word's end cannot be
  // told from a letter's stretched for a learner. (A model set by hand is
  // known; the tracker's first ones are not.)
  bool letterGapSeen = true;

  double DashBoundary() const;    // tones longer than this are dashes
  // Letter gaps stretched past four units (Farnsworth) may still come at
  // the standard three: a stretched gap is never shorter.
  double ShortestLetterGap() const;
  double LetterBoundary() const;  // gaps longer than this end a letter
  double WordBoundary() const;    // and longer than this a word
};

// Keeps the last few dozen tones and gaps and fits the model to them: two
// groups of tones, and the gaps inside characters, between letters and
// between words. Pauses much longer than a word gap are left out, so a long
// silence between exchanges does not move the word boundary.
class TimingTracker {
 public:
  // A first model from a handful of tone and gap lengths, before any
  // have been committed; `rate` is the lengths' unit per second.
  void Seed(const std::vector<double>& tones, const std::vector<double>& gaps, double rate);
  // Starts from a model known already, held as firmly as a few characters
  // committed under it.
  void Prime(const TimingModel& model);
  void AddTone(double length);
  void AddGap(double length);
  bool seeded() const { return seeded_; }
  // The last seed's tones were all alike with no gap to tell dots from
  // dashes, or its long gaps all alike, letters stretched or words of one
  // letter.
  bool ambiguous() const { return ambiguous_; }
  // The model fitted to the latest committed lengths and those still ahead
  // in the window, so a change of speed is followed within the look-ahead.
  TimingModel Local(const std::vector<double>& tonesAhead, const std::vector<double>& gapsAhead) const;
  std::size_t tones() const { return toneCount_; }
  const TimingModel& model() const { return model_; }

 private:
  void FitTones();
  void FitGaps();
  // Fit logarithms of lengths, updating `model` from where it is.
  static void FitTonesTo(const std::vector<double>& x, bool keepRatio, TimingModel* model);
  // True when long gaps all alike were taken for stretched letter gaps.
  static bool FitGapsTo(const std::vector<double>& x, TimingModel* model, bool firstReading = false);
  // The first long gaps, too few to cluster; true as FitGapsTo.
  static bool FewLongGaps(std::vector<double> longGaps, TimingModel* m);
  void GapsFromDot();

  // Follows the word gaps' length one gap at a time: the few among the
  // kept gaps are too few to place the boundary steadily.
  void FollowSpacing(double length);
  // The model's word gaps are known: followed from there.
  void KnowSpacing();

  static constexpr std::size_t kKeep = 32;
  double wordLog_ = 0;   // the word gaps' usual length, log
  int betweenSeen_ = 0;  // letter and word gaps added
  int lettersSinceWord_ = 0;  // letter gaps since the last word gap
  std::vector<double> tones_;  // newest last
  std::vector<double> gaps_;
  std::size_t toneCount_ = 0;
  bool seeded_ = false;
  bool ambiguous_ = false;
  TimingModel model_;
};

// The dot length (in the same unit as the lengths) that best explains
// `tones` as dots and dashes, with a mild preference for 12 to 30 WPM
// (given as `unitsPerSecond`, the lengths' unit per second) that settles
// recordings where every tone is alike. `gaps`, where known, vote too.
double EstimateDot(const std::vector<double>& tones, double unitsPerSecond, const std::vector<double>& gaps = {});

// One key-down or key-up run, in steps.
struct StepRun {
  bool on = false;
  std::size_t start = 0;
  std::size_t length = 0;
};

// How a window begins: anywhere (the stream's start), with a tone, with a
// gap after a tone, or inside a gap already too long to matter.
enum class WindowStart { kFree, kTone, kGap, kLongGap };

// The most likely keying of a window of steps, given for each step the
// log-likelihood ratio of key down over key up, and the timing model in
// steps: each run is scored by the evidence it covers and by how well its
// length fits its class, so a noise burst, a dip inside a dash or a gap
// lost in noise is weighed against whole runs. The last run may end
// anywhere.
// `score`, when given, receives the keying's log-likelihood with its
// priors, to compare readings under different models.
std::vector<StepRun> SegmentWindow(const std::vector<float>& evidence, const TimingModel& steps,
                                   WindowStart start, double* score = nullptr);

}  // namespace tolvane::robust

#endif  // TOLVANE_SRC_ROBUST_TIMING_H
