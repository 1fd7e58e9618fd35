// accuracy --write: one simulated recording for listening, with the
// simulator's options (the names the tool's practice options will share).
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "decoders.h"
#include "sim/sim.h"
#include "suites.h"

namespace accuracy {
namespace {

using namespace tolvane::sim;

const char kWriteUsage[] =
    "usage: accuracy --write OUT.wav [options] TEXT     ('|' in TEXT: a pause between exchanges)\n"
    "  --wpm N            speed (20)                --farnsworth N   overall speed\n"
    "  --pitch HZ         tone (600)                --rate HZ        sample rate (8000)\n"
    "  --fist KIND        machine|straight|bug|paddle: a random operator of that kind\n"
    "  --jitter F         each hand-timed length times 1 +- up to F (machine: every length)\n"
    "  --snr DB           receiver noise in 300-2700 Hz, SNR DB in 2500 Hz\n"
    "  --noise COLOUR     white|pink|tilted         --tilt DB        dB per octave for tilted\n"
    "  --fade HZ          Rayleigh fading with this Doppler spread\n"
    "  --rician K         Rician fading (with --fade's spread, 1 Hz by default)\n"
    "  --channel NAME     good|moderate|poor: ITU-R F.1487 two-path channel\n"
    "  --qsb DEPTH        slow sinusoidal fading down to DEPTH (of full amplitude)\n"
    "  --crashes          static crashes            --agc            receiver AGC\n"
    "  --interferer HZ,DB another station HZ away at DB relative (repeatable)\n"
    "  --chirp HZ         --drift HZ_PER_MIN        --clicks (hard keying)\n"
    "  --hum 50|60        --clip DB (drive over full scale)\n"
    "  --lead S           --trail S                 --seed N         --describe\n";

}  // namespace

int WriteOne(int argc, char** argv) {
  Scenario s;
  Station w;
  w.startS = 0.5;
  std::string out;
  std::string text;
  std::string fistKind;
  double jitter = -1;
  double spread = 0;
  double rician = -1;
  bool describe = false;
  std::vector<std::pair<double, double>> interferers;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool hasValue = i + 1 < argc;
    auto number = [&]() { return hasValue ? std::atof(argv[++i]) : 0.0; };
    auto word = [&]() { return hasValue ? std::string(argv[++i]) : std::string(); };
    if (a == "--write") out = word();
    else if (a == "--wpm") w.fist.wpm = number();
    else if (a == "--farnsworth") w.fist.farnsworthWpm = number();
    else if (a == "--pitch") w.tx.pitchHz = number();
    else if (a == "--rate") s.sampleRate = number();
    else if (a == "--fist") fistKind = word();
    else if (a == "--jitter") jitter = number();
    else if (a == "--snr") { s.receiver.noise.on = true; s.receiver.noise.snrDb = number(); }
    else if (a == "--noise") {
      const std::string c = word();
      s.receiver.noise.colour = c == "pink" ? NoiseColour::kPink : c == "tilted" ? NoiseColour::kTilted : NoiseColour::kWhite;
    } else if (a == "--tilt") s.receiver.noise.tiltDbPerOctave = number();
    else if (a == "--fade") spread = number();
    else if (a == "--rician") rician = number();
    else if (a == "--channel") {
      const std::string c = word();
      w.fading = Watterson(c == "good" ? ItuChannel::kGood : c == "moderate" ? ItuChannel::kModerate : ItuChannel::kPoor);
      if (c != "good" && c != "moderate" && c != "poor") { std::fputs(kWriteUsage, stderr); return 2; }
    } else if (a == "--qsb") w.qsb.depth = number();
    else if (a == "--crashes") s.receiver.crashes.on = true;
    else if (a == "--agc") s.receiver.agc.on = true;
    else if (a == "--interferer") {
      const std::string v = word();
      const std::size_t comma = v.find(',');
      interferers.emplace_back(std::atof(v.c_str()), comma == std::string::npos ? 0.0 : std::atof(v.c_str() + comma + 1));
    } else if (a == "--chirp") w.tx.chirpHz = number();
    else if (a == "--drift") w.tx.driftHzPerMin = number();
    else if (a == "--clicks") w.tx.clicks = true;
    else if (a == "--hum") { s.receiver.hum.on = true; s.receiver.hum.mainsHz = number(); }
    else if (a == "--clip") { s.receiver.clipping.on = true; s.receiver.clipping.driveDb = number(); }
    else if (a == "--lead") w.startS = number();
    else if (a == "--trail") s.trailS = number();
    else if (a == "--seed") s.seed = static_cast<std::uint64_t>(std::strtoull(word().c_str(), nullptr, 10));
    else if (a == "--describe") describe = true;
    else if (a == "--help") { std::fputs(kWriteUsage, stdout); return 0; }
    else if (a.size() > 1 && a[0] == '-' && a[1] == '-') { std::fputs(kWriteUsage, stderr); return 2; }
    else text = a;
  }
  if (out.empty() || text.empty() || s.sampleRate < 1000) {
    std::fputs(kWriteUsage, stderr);
    return 2;
  }
  Random operators = Random::Stream(s.seed, kOperatorStream);
  if (!fistKind.empty()) {
    FistKind kind = FistKind::kMachine;  // a name it does not know keys by machine, as before
    ParseFistKind(fistKind, &kind);
    const double farnsworth = w.fist.farnsworthWpm;
    w.fist = RandomFist(kind, w.fist.wpm, operators);
    w.fist.farnsworthWpm = farnsworth;
  }
  if (jitter >= 0) w.fist.jitter = jitter;
  if (rician >= 0) {
    w.fading.kind = FadingKind::kRician;
    w.fading.ricianK = rician;
    w.fading.spreadHz = spread > 0 ? spread : 1;
  } else if (spread > 0) {
    w.fading.kind = FadingKind::kRayleigh;
    w.fading.spreadHz = spread;
  }
  w.text = text;
  s.stations.push_back(w);
  for (const auto& [offset, level] : interferers) {
    Station other;
    other.text = MakeText(TextKind::kOnAir, operators, NormaliseText(text).size());
    other.fist = RandomFist(static_cast<FistKind>(operators.Integer(0, 3)), operators.Uniform(15, 32), operators);
    other.tx.pitchHz = w.tx.pitchHz + offset;
    other.levelDb = level;
    other.startS = operators.Uniform(0, 1.5);
    s.stations.push_back(other);
  }
  if (describe) std::fputs(Describe(s).c_str(), stderr);
  const Rendered r = Render(s);
  std::vector<std::int16_t> pcm(r.audio.size());
  for (std::size_t i = 0; i < pcm.size(); ++i) {
    pcm[i] = static_cast<std::int16_t>(std::lround(std::max(-1.0f, std::min(1.0f, r.audio[i])) * 32767.0f));
  }
  return WriteWav(out, pcm, static_cast<std::uint32_t>(s.sampleRate)) ? 0 : 1;
}

}  // namespace accuracy
