// Callsigns in what the skimmer decoded: their shape, the CQ calls they
// appear in, and the rules that turn copies into spots.
#include <algorithm>
#include <cmath>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "skim/skim.h"

namespace tolvane {
namespace {

constexpr double kNewTransmissionSeconds = 5;  // a pause this long starts a new transmission
constexpr std::size_t kWordsKept = 12;
constexpr double kWindowSeconds = 600;         // copies agree, and spots repeat, within this
constexpr double kSameFrequencyHz = 500;

bool Letter(char c) { return c >= 'A' && c <= 'Z'; }
bool Digit(char c) { return c >= '0' && c <= '9'; }

// DL1ABC: a prefix of 1 to 3 letters or digits with a letter among them,
// a digit, and 1 to 4 letters.
bool BaseCall(const std::string& s) {
  if (s.size() < 3 || s.size() > 8) return false;
  for (std::size_t i = 1; i <= 3 && i < s.size(); ++i) {
    if (!Digit(s[i])) continue;
    const bool prefixLetter = std::any_of(s.begin(), s.begin() + static_cast<std::ptrdiff_t>(i), Letter);
    const bool prefixPlain = std::all_of(s.begin(), s.begin() + static_cast<std::ptrdiff_t>(i),
                                         [](char c) { return Letter(c) || Digit(c); });
    const std::size_t suffix = s.size() - i - 1;
    const bool suffixLetters = std::all_of(s.begin() + static_cast<std::ptrdiff_t>(i) + 1, s.end(), Letter);
    if (prefixLetter && prefixPlain && suffix >= 1 && suffix <= 4 && suffixLetters) return true;
  }
  return false;
}

// VK2/, DL/, KH6/: letters and digits with a letter, up to 4.
bool CountryPrefix(const std::string& s) {
  return !s.empty() && s.size() <= 4 && std::any_of(s.begin(), s.end(), Letter) &&
         std::all_of(s.begin(), s.end(), [](char c) { return Letter(c) || Digit(c); });
}

bool PortableSuffix(const std::string& s) {
  static const char* const kSuffixes[] = {"P", "M", "MM", "AM", "QRP", "A", "B"};
  if (s.size() == 1 && Digit(s[0])) return true;
  return std::any_of(std::begin(kSuffixes), std::end(kSuffixes), [&](const char* x) { return s == x; });
}

// Words that may stand between CQ and the call: "CQ CQ DX DE", "CQ TEST".
bool CqWord(const std::string& w) {
  static const char* const kWords[] = {"CQ", "DE", "DX", "TEST", "SOTA", "POTA", "WWFF", "IOTA", "NA", "EU",
                                       "AS", "AF", "OC", "SA", "JA", "FD", "QRP", "SKCC", "BK", "CONTEST"};
  return std::any_of(std::begin(kWords), std::end(kWords), [&](const char* x) { return w == x; });
}

}  // namespace

bool IsCallsign(const std::string& word) {
  std::vector<std::string> parts;
  std::size_t from = 0;
  while (true) {
    const std::size_t slash = word.find('/', from);
    parts.push_back(word.substr(from, slash == std::string::npos ? std::string::npos : slash - from));
    if (slash == std::string::npos) break;
    from = slash + 1;
  }
  if (parts.size() > 3) return false;
  for (const std::string& p : parts) {
    if (p.empty()) return false;
  }
  // The base call first, or after a country prefix; a portable suffix after.
  std::size_t base = 0;
  if (!BaseCall(parts[0])) {
    if (parts.size() < 2 || !CountryPrefix(parts[0]) || !BaseCall(parts[1])) return false;
    base = 1;
  }
  for (std::size_t i = base + 1; i < parts.size(); ++i) {
    if (!PortableSuffix(parts[i])) return false;
  }
  return true;
}

struct Spotter::Impl {
  struct Word {
    std::string text;
    bool counted = false;  // already a copy
  };
  struct Heard {  // one signal's words
    std::string word;
    std::deque<Word> words;
    double last = -1e9;
    double freqHz = 0;
    float snrDb = 0, wpm = 0;
  };
  struct Copy {
    std::string call;
    double time = 0;
    double freqHz = 0;
  };

  void EndWord(int signal, Heard& h) {
    if (h.word.empty()) return;
    h.words.push_back({h.word, false});
    h.word.clear();
    if (h.words.size() > kWordsKept) h.words.pop_front();
    const std::size_t n = h.words.size() - 1;
    Word& w = h.words[n];
    if (IsCallsign(w.text)) {
      // Back over the CQ words (and the call said again) to a CQ or TEST.
      bool calling = false;
      for (std::size_t j = n; j-- > 0;) {
        const std::string& before = h.words[j].text;
        if (before == w.text) continue;
        if (!CqWord(before)) break;
        calling = calling || before == "CQ" || before == "TEST";
      }
      if (calling) {
        w.counted = true;
        Add(signal, h, w.text);
      }
    } else if (w.text == "TEST" && n >= 1) {
      Word& call = h.words[n - 1];
      if (!call.counted && IsCallsign(call.text)) {
        call.counted = true;
        Add(signal, h, call.text);
      }
    }
  }

  void Add(int signal, const Heard& h, const std::string& call) {
    const double now = h.last;
    copies.erase(std::remove_if(copies.begin(), copies.end(), [&](const Copy& c) { return now - c.time > kWindowSeconds; }),
                 copies.end());
    spotted.erase(std::remove_if(spotted.begin(), spotted.end(), [&](const Copy& c) { return now - c.time > kWindowSeconds; }),
                  spotted.end());
    auto near = [&](const Copy& c) { return c.call == call && std::fabs(c.freqHz - h.freqHz) <= kSameFrequencyHz; };
    const bool twice = std::any_of(copies.begin(), copies.end(), near);
    copies.push_back({call, now, h.freqHz});
    if (!twice || std::any_of(spotted.begin(), spotted.end(), near)) return;
    spotted.push_back({call, now, h.freqHz});
    SpotCall s;
    s.call = call;
    s.signal = signal;
    s.time = now;
    s.freqHz = h.freqHz;
    s.snrDb = h.snrDb;
    s.wpm = h.wpm;
    out.push_back(s);
  }

  std::map<int, Heard> heard;
  std::vector<Copy> copies;
  std::vector<Copy> spotted;
  std::vector<SpotCall> out;
};

Spotter::Spotter() : impl_(std::make_unique<Impl>()) {}
Spotter::~Spotter() = default;

void Spotter::Add(const SkimEvent& e) {
  Impl& m = *impl_;
  if (e.kind == SkimEventKind::kFound) return;
  Impl::Heard& h = m.heard[e.signal];
  if (e.kind == SkimEventKind::kLost) {
    m.EndWord(e.signal, h);
    m.heard.erase(e.signal);
    return;
  }
  if (e.wordGap) {
    m.EndWord(e.signal, h);
    return;
  }
  if (e.start - h.last > kNewTransmissionSeconds) {
    m.EndWord(e.signal, h);
    h.words.clear();
  }
  h.word += e.text;
  h.last = e.time;
  h.freqHz = e.freqHz;
  h.snrDb = e.snrDb;
  h.wpm = e.wpm;
}

void Spotter::Take(std::vector<SpotCall>* out) {
  for (SpotCall& s : impl_->out) out->push_back(std::move(s));
  impl_->out.clear();
}

}  // namespace tolvane
