// A deterministic Morse channel simulator: on-air texts, machine and hand
// keying, fading channels, receiver noise, static, AGC and interference,
// rendered to real audio (or complex I/Q) together with the truth of what
// was keyed and when. Every random number comes from a seeded 64-bit
// Mersenne Twister through distributions written here, so a scenario and
// its seed give the same samples with any standard library.
#ifndef TOLVANE_SIM_SIM_H
#define TOLVANE_SIM_SIM_H

#include <complex>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace tolvane::sim {

using Complex = std::complex<float>;

// --- Randomness -----------------------------------------------------------

class Random {
 public:
  explicit Random(std::uint64_t seed) : engine_(seed) {}
  // An independent stream for one component of a scenario, so that
  // switching one impairment on does not change another one's numbers.
  static Random Stream(std::uint64_t seed, std::uint64_t stream);

  std::uint64_t Bits() { return engine_(); }
  double Uniform();                          // [0, 1), 53 bits
  double Uniform(double low, double high);   // [low, high)
  int Integer(int low, int high);            // low..high inclusive
  double Gaussian();                         // mean 0, variance 1 (Box-Muller)
  std::complex<double> ComplexGaussian();    // mean power 1
  double Exponential(double mean);

 private:
  std::mt19937_64 engine_;
  double spare_ = 0;
  bool haveSpare_ = false;
};

// A scenario's random streams, one per component, so that one impairment's
// draws never move another's: Render's, and the same ones for a caller that
// keys the wanted station itself (the tool's practice files), so that one
// seed means the same draws in both.
enum RandomStream : std::uint64_t {
  kNoiseStream = 1,
  kCrashStream,
  kHumStream,
  kOperatorStream = 5,  // the operator drawn for a kind of fist
  kStationStreamBase = 100,
};
// Station `station`'s component: 0 its keying, 1 its carrier, 2 its channel.
constexpr std::uint64_t StationStream(std::size_t station, std::uint64_t component) {
  return kStationStreamBase + 8 * static_cast<std::uint64_t>(station) + component;
}

// --- Texts ----------------------------------------------------------------

// Upper case, only characters the alphabet has, single spaces, none at
// either end: the text as a listener would write it down.
std::string NormaliseText(const std::string& text);

enum class TextKind {
  kRandom,    // words of 2 to 6 random characters
  kCq,        // CQ calls
  kContest,   // contest exchanges: 5NN, serials, cut numbers
  kPileup,    // DX pile-ups: split instructions, partial calls
  kRagchew,   // conversation with the usual abbreviations
  kAlphabet,  // every character of the alphabet, shuffled into words
  kOnAir,     // a mix of CQ, contest, pile-up and ragchew exchanges
};

// A callsign as heard on the air, now and then portable or prefixed
// (VK2/W1XYZ, DK5UOW/P, G/LD-013 for a summit).
std::string Callsign(Random& random);
// At least `minLength` characters of `kind`; exchanges are separated by
// '|', which the keyer turns into a pause.
std::string MakeText(TextKind kind, Random& random, std::size_t minLength);
// 1 to 3 words that close an exchange: "TU 5NN", "K", "73", "R R".
std::string ShortMessage(Random& random);

// --- Keying -----------------------------------------------------------------

enum class FistKind {
  kMachine,   // exact timing (jitter, if given, applies to every length)
  kStraight,  // every mark and gap timed by hand
  kBug,       // dots and the gaps after them automatic, dashes and spacing by hand
  kPaddle,    // marks and gaps inside a character automatic, spacing by hand
};

// An operator's timing, in units of 1.2 / wpm seconds.
struct Fist {
  FistKind kind = FistKind::kMachine;
  double wpm = 20;
  double farnsworthWpm = 0;  // overall speed below wpm stretches letter and word gaps; 0: none
  double dashDot = 3;        // a dash's length over a dot's
  double weight = 1;         // a dot's length
  double elementGap = 1;
  double letterGap = 3;
  double wordGap = 7;
  double jitter = 0;         // each hand-timed length times 1 + uniform(-jitter, jitter)
  double speedDrift = 0;     // the speed wanders within +-this fraction over the message
  double pauseMinS = 0.5;    // pause between exchanges ('|' in the text)
  double pauseMaxS = 3;
};

// A plausible operator of `kind` at about `wpm`: dash:dot 2.5-4.5, weight
// 0.8-1.25, element gaps 0.75-1.2, letter gaps 2-5, word gaps 5-10 units,
// letter gap >= 1.5 x element gap and word gap >= 1.5 x letter gap, jitter
// 5-20 % and speed drift up to 15 % (none of these for kMachine).
Fist RandomFist(FistKind kind, double wpm, Random& random);
// Whether the gaps can be told apart: the two 1.5x rules above.
bool Readable(const Fist& fist);
const char* FistName(FistKind kind);
// The kind a command line names: "machine", "straight", "bug", "paddle".
bool ParseFistKind(const std::string& name, FistKind* kind);

struct Mark {  // key down, seconds
  double start = 0;
  double end = 0;
};

struct CharTime {
  char character = 0;
  double start = 0;  // its first key-down
  double end = 0;    // its last key-up
};

// What was keyed: the truth a harness scores against.
struct Keying {
  std::string text;                         // NormaliseText of what was keyed
  std::vector<Mark> marks;
  std::vector<CharTime> characters;         // one per non-space character of text
  std::vector<std::size_t> exchangeStarts;  // where in text each exchange begins
  double end = 0;                           // the last key-up
};

// Keys `text` (exchanges separated by '|') starting at `startS`.
Keying Key(const std::string& text, const Fist& fist, Random& random, double startS = 0);

class SpeedCurve;

// An operator's hand a length at a time, for a caller that keys codes as
// they come, in constant memory: called in Key's order (an element gap
// between marks, a letter or word gap between characters), it gives Key's
// lengths, in seconds, drawing from `random` as Key does.
class Hand {
 public:
  enum class Length { kDot, kDash, kElementGap, kLetterGap, kWordGap };

  Hand(const Fist& fist, Random& random, double startS = 0);
  ~Hand();
  Hand(const Hand&) = delete;
  Hand& operator=(const Hand&) = delete;

  double Mark(bool dash);
  double ElementGap();
  double LetterGap();
  double WordGap();
  double Pause();  // between exchanges: a word gap, or longer
  // The end of the last length given, from startS on.
  double time() const { return t_; }

 private:
  double Next(Length kind, double units);

  Fist fist_;
  Random& random_;
  std::unique_ptr<SpeedCurve> speed_;
  double startS_;
  double t_;
  double wpm_;
  double spacingScale_ = 1;
  double elementLetter_ = 0;
  double letterWord_ = 0;
  bool afterDash_ = false;
};

// --- Transmitter, channel and station ---------------------------------------

struct Transmitter {
  double pitchHz = 600;        // audio offset (real audio) or offset from the centre (I/Q)
  double edgeMs = 5;           // raised-cosine rise and fall
  bool clicks = false;         // hard keying: full power from the first sample
  double chirpHz = 0;          // frequency offset at each key-down, decaying
  double chirpMs = 30;         // its time constant
  double driftHzPerMin = 0;    // steady frequency drift
  bool freshPhase = false;     // each mark starts at a new random phase
};

enum class FadingKind { kNone, kRayleigh, kRician, kTwoPath };

struct Fading {
  FadingKind kind = FadingKind::kNone;
  double spreadHz = 1;   // two-sigma width of the Gaussian Doppler spectrum
  double ricianK = 4;    // kRician: steady over scattered power
  double delayMs = 1;    // kTwoPath: the second path's delay; both paths carry half the power
};

// The two-path channels of ITU-R F.1487.
enum class ItuChannel { kGood, kModerate, kPoor };
Fading Watterson(ItuChannel channel);  // 0.5 ms/0.1 Hz, 1 ms/0.5 Hz, 2 ms/1 Hz
const char* ChannelName(ItuChannel channel);

// Slow QSB: the amplitude swings sinusoidally between `depth` and 1.
struct Qsb {
  double depth = 1;  // 1: none
  double periodS = 20;
};

struct Station {
  std::string text;
  Fist fist;
  Transmitter tx;
  Fading fading;
  Qsb qsb;
  double levelDb = 0;  // key-down power relative to the wanted station (the first)
  double startS = 0.5; // first key-down
};

// --- Receiver ---------------------------------------------------------------

enum class NoiseColour { kWhite, kPink, kTilted };

// SNR: the wanted station's mean key-down power (over the fading) over the
// noise power in 2500 Hz, taking the noise density as its mean over the
// passband; measured before the AGC.
struct Noise {
  bool on = false;
  double snrDb = 10;
  NoiseColour colour = NoiseColour::kWhite;
  double tiltDbPerOctave = -6;  // kTilted: power slope
  double lowHz = 300;           // the receiver's passband
  double highHz = 2700;
};

// Static crashes: bursts at Poisson-distributed times, each a sharp rise
// and an exponential decay of band-limited noise.
struct Crashes {
  bool on = false;
  double perSecond = 0.5;
  double levelDb = 15;   // mean peak power over the wanted key-down power
  double decayMs = 40;
};

// A receiver AGC: the gain follows the input's peak level with a fast
// attack, holds for the hang time, then recovers with the release time.
struct Agc {
  bool on = false;
  double attackMs = 2;
  double hangMs = 250;
  double releaseMs = 400;  // time constant of the level's decay
  double maxGainDb = 30;   // over the gain that brings the wanted tone to full level
};

struct Hum {
  bool on = false;
  double mainsHz = 50;
  int harmonics = 4;     // the fundamental and this many more
  double levelDb = -25;  // the fundamental's power over the wanted key-down power
};

// Clipping: the wanted tone's level is raised by driveDb over full scale and
// everything is cut at +-1.
struct Clipping {
  bool on = false;
  double driveDb = 0;
};

struct Receiver {
  Noise noise;
  Crashes crashes;
  Agc agc;
  Hum hum;
  Clipping clipping;
};

struct Scenario {
  std::vector<Station> stations;  // the first is the wanted one
  Receiver receiver;
  double sampleRate = 8000;
  double trailS = 1;              // after the last key-up of any station
  std::uint64_t seed = 1;
};

// The scenario in words: a line per station (and one for its text) and per
// receiver impairment, for a report.
std::string Describe(const Scenario& scenario);

struct Rendered {
  double sampleRate = 0;
  std::vector<float> audio;             // full scale +-1
  std::vector<Keying> keyings;          // per station, the first is the wanted one
  std::vector<double> crashTimes;
  // Before the AGC, on one scale (the wanted tone has amplitude 1), when
  // asked for: the wanted station alone, the receiver noise alone.
  std::vector<float> wanted;
  std::vector<float> noise;
};

// Real audio: every station at its pitch, then noise, crashes, AGC, hum,
// clipping, and a gain that keeps the peak below full scale.
Rendered Render(const Scenario& scenario, bool keepComponents = false);

// Complex I/Q for a band: every station at its offset from the centre,
// complex white noise at the SNR relative to the first station, crashes;
// no passband, AGC, hum or clipping. Peak magnitude below 1.
struct RenderedIq {
  double sampleRate = 0;
  std::vector<Complex> iq;
  std::vector<Keying> keyings;
};
RenderedIq RenderIq(const Scenario& scenario);

// --- Building blocks --------------------------------------------------------

// The key-down shape (0 to 1) of `keying` at `rate`, with the transmitter's
// edges.
std::vector<float> KeyShape(const Keying& keying, const Transmitter& tx, double rate,
                            std::size_t count);
// A station's complex envelope relative to tx.pitchHz: the key shape with
// chirp, drift and the carrier's phase, amplitude 1 with the key down.
std::vector<Complex> StationBaseband(const Keying& keying, const Transmitter& tx, double rate,
                                     std::size_t count, Random& random);
// `count` fading gains at `rate` with a Gaussian Doppler spectrum, mean power
// 1 (kRayleigh or kRician; 1 for kNone).
std::vector<std::complex<double>> FadingGains(const Fading& fading, double rate,
                                              std::size_t count, Random& random);
// Passes `baseband` through the fading channel (one path, or two for
// kTwoPath), then the QSB.
void ApplyChannel(const Fading& fading, const Qsb& qsb, double rate, Random& random,
                  std::vector<Complex>* baseband);
// Scales `baseband` so that its mean power where `shape` is fully keyed down
// is `power`. Returns the gain applied.
double SetKeyDownPower(const std::vector<float>& shape, double power,
                       std::vector<Complex>* baseband);
// Adds Re{baseband * exp(j 2 pi offset t)} * gain to `audio`.
void MixReal(const std::vector<Complex>& baseband, double offsetHz, double gain, double rate,
             std::vector<float>* audio);
// Adds baseband * exp(j 2 pi offset t) * gain to `iq`.
void MixComplex(const std::vector<Complex>& baseband, double offsetHz, double gain, double rate,
                std::vector<Complex>* iq);

// Band-limited receiver noise of total power `power`.
std::vector<float> ReceiverNoise(const Noise& noise, double power, double rate, std::size_t count,
                                 Random& random);
// Static crashes in the noise's passband relative to `referencePower`;
// appends each crash's start to `times` when given.
std::vector<float> StaticCrashes(const Crashes& crashes, const Noise& band, double referencePower,
                                 double rate, std::size_t count, Random& random,
                                 std::vector<double>* times = nullptr);
// Brings the level to `target` peak amplitude, in place.
void ApplyAgc(const Agc& agc, double target, double rate, std::vector<float>* audio);
void AddHum(const Hum& hum, double referencePower, double rate, Random& random,
            std::vector<float>* audio);
// Windowed-sinc resampling, for decoders that want another rate.
std::vector<float> Resample(const std::vector<float>& in, double fromRate, double toRate);

// --- The classic test-signal synthesiser ------------------------------------
//
// The small synthesiser the first accuracy table and the robust recogniser's
// tests were made with, kept sample for sample: 8000 Hz 16-bit, its noise from
// std::normal_distribution (so its noisy samples are libstdc++'s).

struct Signal {
  double wpm = 20;            // character speed (PARIS timing)
  double farnsworth = 0;      // overall speed in WPM when below wpm; 0: none
  double speedChangeWpm = 0;  // character speed from the middle word on; 0: none
  double pitchHz = 600;
  bool freshPhase = false;    // each tone starts at a new random phase
  double jitter = 0;          // each element's length times 1 +- up to this
  double edgeMs = 5;          // raised-cosine rise and fall
  double fadeDepth = 1;       // slow fading down to this fraction of full amplitude
  double fadePeriodS = 10;
  bool noise = false;
  double snrDb = 0;           // key-down tone power over noise power in 2500 Hz
  double leadS = 0.5;
  double trailS = 0.5;
  double amplitude = 8000;    // without noise
  double noiseRms = 3000;     // with noise; the tone's amplitude follows from the SNR
  std::uint32_t seed = 1;
};

std::vector<std::int16_t> Synthesize(const std::string& text, const Signal& signal);
// Words of 2 to 6 characters drawn from `alphabet`, at least `length` long.
std::string RandomText(std::size_t length, std::uint32_t seed,
                       const std::string& alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789/?.,=");

}  // namespace tolvane::sim

#endif  // TOLVANE_SIM_SIM_H
