// tolvane skim: every Morse signal in the input at once, live.
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "commands.h"
#include "event_output.h"
#include "options.h"
#include "skim/skim.h"
#include "skim_display.h"
#include "skim_input.h"
#include "spots.h"

namespace tolvane::tool {
namespace {

volatile std::sig_atomic_t interrupted = 0;

void OnInterrupt(int) { interrupted = 1; }

struct Settings {
  SkimSource input;
  bool json = false, spots = false, bandGiven = false;
  double bandLo = 0, bandHi = 0;
  FrequencyView view;
  std::string spotter = "NOCALL-#";
  int startMinutes = -1;  // -1: the clock
  int serve = -1;
  std::string path;
};

// "LO-HI" in Hz; either may be negative (I/Q): the dash between them is
// the one that follows a digit.
bool ParseBand(const std::string& text, double* lo, double* hi) {
  for (std::size_t i = 1; i + 1 < text.size(); ++i) {
    if (text[i] == '-' && ((text[i - 1] >= '0' && text[i - 1] <= '9') || text[i - 1] == '.')) {
      return ParseDecimal(text.substr(0, i), lo) && ParseDecimal(text.substr(i + 1), hi) && *lo < *hi;
    }
  }
  return false;
}

bool ParseClock(const std::string& text, int* minutes) {
  if (text.size() != 5 || text[2] != ':') return false;
  for (int i : {0, 1, 3, 4}) {
    if (text[static_cast<std::size_t>(i)] < '0' || text[static_cast<std::size_t>(i)] > '9') return false;
  }
  const int h = (text[0] - '0') * 10 + (text[1] - '0');
  const int m = (text[3] - '0') * 10 + (text[4] - '0');
  if (h > 23 || m > 59) return false;
  *minutes = h * 60 + m;
  return true;
}

// Parses the options; returns kExitOk to go on, or a usage exit code.
int Parse(int argc, char** argv, Settings* s) {
  Arguments args;
  std::string problem;
  if (!args.Parse(argc, argv,
                  {{"--raw", true}, {"--raw-format", true}, {"--iq", false}, {"--band", true}, {"--json", false},
                   {"--spots", false}, {"--dial", true}, {"--usb", false}, {"--lsb", false}, {"--spotter", true},
                   {"--start", true}, {"--serve", true}},
                  &problem)) {
    return Usage(problem);
  }
  if (args.operands().size() != 1) return Usage("skim needs one INPUT");
  s->path = args.operands()[0];
  s->input.iq = args.Has("--iq");
  s->input.raw = args.Has("--raw");
  if (!NumberOption(args, "--raw", 1000, 20000000, true, 0, &s->input.rawRate, &problem)) return Usage(problem);
  if (const std::string* f = args.Value("--raw-format")) {
    if (!s->input.raw) return Usage("--raw-format goes with --raw RATE");
    if (*f == "s16") {
      s->input.rawFormat = RawFormat::kS16;
    } else if (*f == "u8") {
      s->input.rawFormat = RawFormat::kU8;
    } else if (*f == "f32") {
      s->input.rawFormat = RawFormat::kF32;
    } else {
      return Usage("--raw-format takes s16, u8 or f32, not '" + *f + "'");
    }
  }
  if (const std::string* band = args.Value("--band")) {
    if (!ParseBand(*band, &s->bandLo, &s->bandHi)) return Usage("--band takes LO-HI in Hz, LO below HI, not '" + *band + "'");
    s->bandGiven = true;
  }
  s->json = args.Has("--json");
  s->spots = args.Has("--spots");
  if (args.Has("--usb") && args.Has("--lsb")) return Usage("give --usb or --lsb, not both");
  if (s->input.iq && (args.Has("--usb") || args.Has("--lsb"))) {
    return Usage("--usb and --lsb are for audio input; with --iq, --dial is the centre frequency");
  }
  if ((args.Has("--usb") || args.Has("--lsb")) && !args.Has("--dial")) return Usage("--usb and --lsb go with --dial KHZ");
  if (args.Has("--dial")) {
    if (!NumberOption(args, "--dial", 0, 100000000, false, 0, &s->view.dialKhz, &problem)) return Usage(problem);
    s->view.dial = true;
    s->view.sign = args.Has("--lsb") ? -1 : 1;
  }
  if (s->spots && !s->view.dial) return Usage("--spots needs --dial KHZ: a spot without its frequency on the air helps nobody");
  for (const char* name : {"--spotter", "--start", "--serve"}) {
    if (args.Has(name) && !s->spots) return Usage(std::string(name) + " goes with --spots");
  }
  if (const std::string* call = args.Value("--spotter")) {
    if (call->empty() || call->size() > 20 || call->find_first_of(" \t\r\n") != std::string::npos) {
      return Usage("--spotter takes a call without spaces, not '" + *call + "'");
    }
    s->spotter = *call;
  }
  if (const std::string* start = args.Value("--start")) {
    if (!ParseClock(*start, &s->startMinutes)) return Usage("--start takes HH:MM (UTC), not '" + *start + "'");
  }
  double port = -1;
  if (!NumberOption(args, "--serve", 0, 65535, true, -1, &port, &problem)) return Usage(problem);
  s->serve = static_cast<int>(port);
  return kExitOk;
}

// The spot's time: the input's start (given, or now) plus the audio time.
class SpotClock {
 public:
  explicit SpotClock(int startMinutes) {
    if (startMinutes >= 0) {
      startSeconds_ = 60.0 * startMinutes;
    } else {
      const std::time_t now = std::time(nullptr);
      std::tm utc{};
      gmtime_r(&now, &utc);
      startSeconds_ = 3600.0 * utc.tm_hour + 60.0 * utc.tm_min + utc.tm_sec;
    }
  }
  int Minutes(double audioSeconds) const { return static_cast<int>((startSeconds_ + audioSeconds) / 60); }

 private:
  double startSeconds_ = 0;
};

// Standard output went away (| head): the run ends quietly.
bool OutputGone() {
  if (std::ferror(stdout) == 0) return false;
  // Later writes, and the final flush, then go nowhere.
  if (errno == EPIPE && std::freopen("/dev/null", "w", stdout) == nullptr) return true;
  return true;
}

}  // namespace

int Skim(int argc, char** argv) {
  Settings s;
  if (const int code = Parse(argc, argv, &s); code != kExitOk) return code;
  const char* name = s.path == "-" ? "standard input" : s.path.c_str();
  s.input.stop = &interrupted;
  SkimInput input;
  std::string error;
  if (!input.Open(s.path, s.input, &error)) {
    std::fprintf(stderr, "tolvane: %s: %s\n", name, error.c_str());
    return kExitFailed;
  }
  const double rate = input.rate();
  const double edge = s.input.iq ? rate / 2 : 0;
  if (s.bandGiven && (s.bandLo < -edge || s.bandHi > rate / 2 || s.bandHi <= std::max(-edge, 0.0) - (s.input.iq ? edge : 0))) {
    return Usage("--band lies outside what the input carries (" + std::string(s.input.iq ? "-rate/2" : "0") + " to rate/2)");
  }
  SkimOptions options;
  options.sampleRate = rate;
  options.complex = s.input.iq;
  if (s.bandGiven) {
    options.bandLoHz = s.bandLo;
    options.bandHiHz = s.bandHi;
  }
  Skimmer skimmer(options);
  Spotter spotter;
  SpotServer server;
  if (s.serve >= 0) {
    if (!server.Start(s.serve, &error)) {
      std::fprintf(stderr, "tolvane: cannot serve spots on 127.0.0.1:%d: %s\n", s.serve, error.c_str());
      return kExitFailed;
    }
    std::fprintf(stderr, "tolvane: serving spots on 127.0.0.1:%d\n", server.port());
  }
  const SpotClock clock(s.startMinutes);

  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  winsize size{};
  const int width = !s.json && !s.spots && isatty(STDOUT_FILENO) != 0 && ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0
                        ? (size.ws_col > 20 ? size.ws_col : 80)
                        : 0;
  SkimJson json(stdout, s.view);
  SkimText text(stdout, width, s.view);
  if (s.json) json.Start(rate);

  std::vector<SkimEvent> events;
  std::vector<SpotCall> calls;
  auto handle = [&]() {
    for (const SkimEvent& e : events) {
      if (s.spots) spotter.Add(e);
      if (s.json) {
        json.Event(e);
      } else if (!s.spots) {
        text.Event(e);
      }
    }
    events.clear();
    spotter.Take(&calls);
    for (const SpotCall& c : calls) {
      const std::string line = SpotLine(s.spotter, s.view.Khz(c.freqHz), c.call, c.snrDb, c.wpm, clock.Minutes(c.time));
      if (s.json) {
        json.Spot(c, line);
      } else {
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
      }
      if (s.serve >= 0) server.Send(line);
    }
    calls.clear();
  };

  // About 20 ms at a time, so that live input is taken as it comes.
  const std::size_t block = std::max<std::size_t>(256, static_cast<std::size_t>(rate / 50));
  std::vector<float> samples(block * (s.input.iq ? 2 : 1));
  bool failed = false;
  while (interrupted == 0) {
    const long n = input.Read(samples.data(), block, &error);
    if (n < 0) {
      std::fprintf(stderr, "tolvane: %s: %s\n", name, error.c_str());
      failed = true;
      break;
    }
    if (n == 0) break;
    skimmer.Push(samples.data(), static_cast<std::size_t>(n));
    skimmer.Take(&events);
    handle();
    if (!s.json && !s.spots) text.Tick(skimmer.seconds(), skimmer.signals());
    if (OutputGone()) break;
  }
  skimmer.Flush();
  skimmer.Take(&events);
  handle();
  if (s.json) {
    json.End(skimmer.seconds());
  } else if (!s.spots) {
    text.Finish();
  }
  server.Stop();
  if (OutputGone()) return kExitOk;
  return failed ? kExitFailed : kExitOk;
}

}  // namespace tolvane::tool
