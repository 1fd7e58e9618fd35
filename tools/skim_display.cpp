#include "skim_display.h"

#include <algorithm>
#include <chrono>

namespace tolvane::tool {
namespace {

constexpr double kPauseSeconds = 3;  // characters further apart than this belong to two transmissions
// A signal unheard this long has ended its transmission: the recogniser
// decides characters up to a few seconds after their last tone.
constexpr double kQuietSeconds = 8;
constexpr double kRedrawSeconds = 0.2;

double WallSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace

std::string FrequencyView::Label(double offsetHz) const {
  char text[32];
  if (dial) {
    std::snprintf(text, sizeof text, "%10.3f kHz", Khz(offsetHz));
  } else {
    std::snprintf(text, sizeof text, "%8.1f Hz", offsetHz);
  }
  return text;
}

SkimText::SkimText(std::FILE* out, int width, const FrequencyView& view) : out_(out), width_(width), view_(view) {}

std::string SkimText::Render(const Line& line) const {
  char head[64];
  std::snprintf(head, sizeof head, "%s %3.0f WPM %3.0f dB  ", view_.Label(line.freqHz).c_str(), static_cast<double>(line.wpm),
                static_cast<double>(line.snrDb));
  std::string text = line.text;
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return head + text;
}

void SkimText::Event(const SkimEvent& e) {
  if (e.kind == SkimEventKind::kLost) {
    End(e.signal);
    return;
  }
  if (e.kind != SkimEventKind::kText) return;
  auto it = lines_.find(e.signal);
  if (it != lines_.end() && !e.wordGap && e.start - it->second.last > kPauseSeconds) {
    End(e.signal);
    it = lines_.end();
  }
  if (it == lines_.end()) {
    if (e.wordGap) return;  // nothing to separate yet
    it = lines_.emplace(e.signal, Line{}).first;
  }
  Line& line = it->second;
  if (e.wordGap) {
    if (!line.text.empty() && line.text.back() != ' ') line.text += ' ';
  } else {
    line.text += e.text;
    line.last = e.time;
  }
  line.freqHz = e.freqHz;
  line.wpm = e.wpm;
  line.snrDb = e.snrDb;
}

void SkimText::End(int signal) {
  const auto it = lines_.find(signal);
  if (it == lines_.end()) return;
  finished_.push_back(Render(it->second));
  lines_.erase(it);
}

void SkimText::Tick(double now, const std::vector<SkimSignal>& signals) {
  std::map<int, double> heard;
  for (const SkimSignal& s : signals) heard[s.signal] = s.lastHeard;
  std::vector<int> quiet;
  for (const auto& [signal, line] : lines_) {
    const auto h = heard.find(signal);
    const double last = h == heard.end() ? line.last : std::max(line.last, h->second);
    if (now - last > kQuietSeconds) quiet.push_back(signal);
  }
  for (int signal : quiet) End(signal);
  Draw(false);
}

void SkimText::Finish() {
  while (!lines_.empty()) End(lines_.begin()->first);
  Draw(true);
}

void SkimText::Draw(bool force) {
  if (width_ <= 0) {
    // No terminal: ended transmissions only, each once.
    for (const std::string& line : finished_) std::fprintf(out_, "%s\n", line.c_str());
    if (!finished_.empty()) std::fflush(out_);
    finished_.clear();
    return;
  }
  const double wall = WallSeconds();
  if (!force && finished_.empty() && wall - lastDraw_ < kRedrawSeconds) return;
  lastDraw_ = wall;
  // Back over the live lines, ended transmissions above them for good,
  // then the live lines again, each cut to the screen by its oldest text.
  std::string screen;
  if (drawn_ > 0) screen += "\x1b[" + std::to_string(drawn_) + "A";
  screen += "\r";
  for (const std::string& line : finished_) screen += "\x1b[2K" + line + "\n";
  finished_.clear();
  drawn_ = 0;
  for (const auto& [signal, line] : lines_) {
    std::string text = Render(line);
    const auto columns = static_cast<std::size_t>(width_ - 1);
    if (text.size() > columns) {
      const std::size_t head = Render(Line{line.freqHz, line.wpm, line.snrDb, "", 0}).size();
      const std::size_t keep = columns > head + 1 ? columns - head - 1 : 0;
      text.replace(head, text.size() - keep - head, "<");
    }
    screen += "\x1b[2K" + text + "\n";
    ++drawn_;
  }
  screen += "\x1b[J";
  std::fputs(screen.c_str(), out_);
  std::fflush(out_);
}

SkimJson::SkimJson(std::FILE* out, const FrequencyView& view) : out_(out), view_(view), head_(out, {true, false}) {}

void SkimJson::Start(double rate) { head_.Start(rate); }

std::string SkimJson::Common(double time, double freqHz, double wpm, double snrDb) const {
  char text[160];
  std::snprintf(text, sizeof text, "\"time\":%.3f,\"freq\":%.1f,", time, freqHz);
  std::string out = text;
  if (view_.dial) {
    std::snprintf(text, sizeof text, "\"rf_khz\":%.3f,", view_.Khz(freqHz));
    out += text;
  }
  std::snprintf(text, sizeof text, "\"wpm\":%.1f,\"snr_db\":%.1f", wpm, snrDb);
  return out + text;
}

void SkimJson::Put(const std::string& line) {
  std::fputs(line.c_str(), out_);
  std::fflush(out_);
}

void SkimJson::Event(const SkimEvent& e) {
  last_ = std::max(last_, e.time);
  if (e.kind != SkimEventKind::kText) {
    const bool found = e.kind == SkimEventKind::kFound;
    Put("{\"type\":\"signal\",\"signal\":" + std::to_string(e.signal) + ",\"event\":\"" + (found ? "found" : "lost") +
        "\"," + Common(e.time, e.freqHz, e.wpm, e.snrDb) + "}\n");
    const auto it = writers_.find(e.signal);
    if (found && it == writers_.end()) {
      writers_.emplace(e.signal, std::make_unique<EventWriter>(out_, EventOutputOptions{true, false}));
    } else if (!found && it != writers_.end()) {
      characters_ += it->second->characters();
      writers_.erase(it);
    }
    return;
  }
  const auto it = writers_.find(e.signal);
  if (it == writers_.end()) return;
  RobustEvent r;
  r.wordGap = e.wordGap;
  r.start = e.start;
  r.time = e.time;
  r.text = e.text;
  r.code = e.code;
  r.confidence = e.confidence;
  r.pitchHz = static_cast<float>(e.freqHz);
  r.wpm = e.wpm;
  r.snrDb = e.snrDb;
  it->second->Write(r, e.signal);
}

void SkimJson::Spot(const SpotCall& c, const std::string& line) {
  Put("{\"type\":\"spot\",\"signal\":" + std::to_string(c.signal) + "," + Common(c.time, c.freqHz, c.wpm, c.snrDb) +
      ",\"call\":" + JsonString(c.call) + ",\"line\":" + JsonString(line) + "}\n");
}

void SkimJson::End(double seconds) {
  std::size_t characters = characters_;
  for (const auto& [signal, writer] : writers_) characters += writer->characters();
  char line[96];
  std::snprintf(line, sizeof line, "{\"type\":\"end\",\"time\":%.3f,\"chars\":%zu}\n", std::max(seconds, last_),
                characters);
  Put(line);
}

}  // namespace tolvane::tool
