// The real-band table: what on-air Morse does to the recognisers. Every
// text is an on-air exchange of 60+ characters followed, after a pause of
// 0.5 to 3 s, by a short message ("TU 5NN", "K", "73"), whose errors are
// also reported on their own.
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "score.h"
#include "sim/sim.h"
#include "suites.h"

namespace accuracy {
namespace {

using namespace tolvane::sim;

struct Row {
  std::string name;
  std::function<void(Scenario*, Random&)> set;
  bool pauses = false;      // the exchanges are separated by pauses, not word gaps
  bool pitchGiven = false;  // the decoder is told the wanted station's pitch
};

void Snr(Scenario* s, double db) {
  s->receiver.noise.on = true;
  s->receiver.noise.snrDb = db;
}

std::string DbName(double db) {
  char text[16];
  std::snprintf(text, sizeof text, "%+.0f dB", db);
  return text;
}

std::vector<Row> Rows() {
  std::vector<Row> rows;
  auto add = [&rows](std::string name, std::function<void(Scenario*, Random&)> set, bool pauses = false,
                     bool pitch = false) { rows.push_back({std::move(name), std::move(set), pauses, pitch}); };
  for (double db : {99.0, 10.0}) {
    const std::string level = db > 50 ? "clean" : DbName(db);
    add("machine keying, " + level, [db](Scenario* s, Random&) {
      if (db < 50) Snr(s, db);
    });
    for (FistKind kind : {FistKind::kStraight, FistKind::kBug, FistKind::kPaddle}) {
      add(std::string(FistName(kind)) + ", weighted and drifting, " + level, [db, kind](Scenario* s, Random& r) {
        s->stations[0].fist = RandomFist(kind, s->stations[0].fist.wpm, r);
        if (db < 50) Snr(s, db);
      });
    }
  }
  for (double db : {10.0, 3.0}) {
    for (double spread : {0.5, 1.0, 2.0}) {
      char name[64];
      std::snprintf(name, sizeof name, "Rayleigh fading %.1f Hz, %s", spread, DbName(db).c_str());
      add(name, [db, spread](Scenario* s, Random&) {
        s->stations[0].fading.kind = FadingKind::kRayleigh;
        s->stations[0].fading.spreadHz = spread;
        Snr(s, db);
      });
    }
    for (ItuChannel channel : {ItuChannel::kModerate, ItuChannel::kPoor}) {
      add(std::string("CCIR ") + ChannelName(channel) + " two-path, " + DbName(db), [db, channel](Scenario* s, Random&) {
        s->stations[0].fading = Watterson(channel);
        Snr(s, db);
      });
    }
  }
  add("static crashes with AGC, +10 dB", [](Scenario* s, Random&) {
    s->receiver.crashes.on = true;
    s->receiver.agc.on = true;
    Snr(s, 10);
  });
  add("exchanges with 0.5-3 s pauses, +10 dB", [](Scenario* s, Random&) { Snr(s, 10); }, true);
  struct Interferer {
    double offsetHz, levelDb;
  };
  for (const Interferer& x : {Interferer{200, 0}, Interferer{100, 6}}) {
    char name[96];
    std::snprintf(name, sizeof name, "interferer %+.0f dB, %.0f Hz away, pitch given, +10 dB", x.levelDb, x.offsetHz);
    add(name, [x](Scenario* s, Random& r) {
      Station other;
      Random texts = Random::Stream(s->seed, 3);
      other.text = MakeText(TextKind::kOnAir, texts, 60);
      const auto kind = static_cast<FistKind>(r.Integer(0, 3));
      other.fist = RandomFist(kind, r.Uniform(15, 32), r);
      other.tx.pitchHz = s->stations[0].tx.pitchHz + (r.Uniform() < 0.5 ? -x.offsetHz : x.offsetHz);
      other.levelDb = x.levelDb;
      other.startS = r.Uniform(0, 2);
      s->stations.push_back(other);
      Snr(s, 10);
    }, false, true);
  }
  add("worst case: hand fist, CCIR poor, crashes, AGC, +10 dB", [](Scenario* s, Random& r) {
    const auto kind = static_cast<FistKind>(r.Integer(1, 3));
    s->stations[0].fist = RandomFist(kind, s->stations[0].fist.wpm, r);
    s->stations[0].fading = Watterson(ItuChannel::kPoor);
    s->receiver.crashes.on = true;
    s->receiver.agc.on = true;
    Snr(s, 10);
  });
  return rows;
}

std::string WithoutPauses(std::string text) {
  for (char& c : text) c = c == '|' ? ' ' : c;
  return text;
}

void Table(const char* title, const std::vector<std::string>& names, const std::vector<std::vector<double>>& values,
           const std::vector<Decoder>& decoders) {
  std::printf("\n%s\n\n| recording |", title);
  for (Decoder d : decoders) std::printf(" %s |", DecoderName(d));
  std::printf("\n|---|");
  for (std::size_t i = 0; i < decoders.size(); ++i) std::printf("---|");
  std::printf("\n");
  for (std::size_t r = 0; r < names.size(); ++r) {
    std::printf("| %s |", names[r].c_str());
    for (double v : values[r]) std::printf(" %.1f %% |", 100 * v);
    std::printf("\n");
  }
  std::fflush(stdout);
}

}  // namespace

int RunBandSuite(const Options& options) {
  const int seeds = options.seeds > 0 ? options.seeds : 8;
  const int first = FirstSeed(options);
  const std::size_t columns = options.decoders.size();
  std::printf("Real-band suite: %d on-air texts of 60+ characters per row (seeds %d to %d%s), each\n"
              "followed after a 0.5-3 s pause by a short message; 16-28 WPM, 450-850 Hz. SNR is the\n"
              "mean key-down tone power over the noise power in 2500 Hz, before the AGC. Rows marked\n"
              "\"pitch given\" hand the wanted pitch to the robust recogniser and to fldigi; the others\n"
              "cannot be told it.\n",
              seeds, first, first + seeds - 1, options.tune ? ", tuning seeds" : ", never used for tuning");
  std::vector<std::string> names;
  std::vector<std::vector<double>> cer, wer, shortCer;
  const bool verbose = std::getenv("ACCURACY_VERBOSE") != nullptr;
  for (const Row& row : Rows()) {
    if (!options.only.empty() && row.name.find(options.only) == std::string::npos) continue;
    std::vector<double> c(columns, 0.0), w(columns, 0.0), s(columns, 0.0);
    for (int seed = first; seed < first + seeds; ++seed) {
      const auto seed64 = static_cast<std::uint64_t>(seed);
      Random texts = Random::Stream(seed64, 1);
      const std::string body = MakeText(TextKind::kOnAir, texts, 60);
      const std::string closing = ShortMessage(texts);
      Random params = Random::Stream(seed64, 2);
      Scenario scenario;
      scenario.seed = seed64;
      Station wanted;
      wanted.text = (row.pauses ? body : WithoutPauses(body)) + "|" + closing;
      wanted.fist.wpm = params.Uniform(16, 28);
      wanted.tx.pitchHz = params.Uniform(450, 850);
      scenario.stations.push_back(wanted);
      row.set(&scenario, params);
      const Rendered rendered = Render(scenario);
      const Keying& truth = rendered.keyings[0];
      const double pitch = row.pitchGiven ? scenario.stations[0].tx.pitchHz : 0;
      for (std::size_t d = 0; d < columns; ++d) {
        const std::string heard = Decode(options.decoders[d], rendered.audio, rendered.sampleRate, pitch);
        c[d] += ErrorRate(truth.text, heard);
        w[d] += WordErrorRate(truth.text, heard);
        s[d] += ErrorRateFrom(truth.text, heard, truth.exchangeStarts.back());
        if (verbose && d == 0) {
          std::printf("  seed %d: %.1f %%\n    %s\n    %s\n", seed, 100 * ErrorRate(truth.text, heard),
                      truth.text.c_str(), Normal(heard).c_str());
        }
      }
    }
    for (std::size_t d = 0; d < columns; ++d) {
      c[d] /= seeds;
      w[d] /= seeds;
      s[d] /= seeds;
    }
    names.push_back(row.name);
    cer.push_back(c);
    wer.push_back(w);
    shortCer.push_back(s);
    std::fprintf(stderr, "  %s done\n", row.name.c_str());
  }
  Table("Character error rate (edit distance over length), whole text:", names, cer, options.decoders);
  Table("Word error rate (word edit distance over words), whole text:", names, wer, options.decoders);
  Table("Character error rate of the short message after the pause alone:", names, shortCer, options.decoders);
  return 0;
}

}  // namespace accuracy
