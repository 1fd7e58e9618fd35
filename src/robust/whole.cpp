// Whole recordings through the streaming engine, for callers that have all
// the samples at once.
#include <algorithm>
#include <cmath>
#include <new>

#include "robust/robust.h"

namespace tolvane {

bool DecodeRobust(const std::int16_t* samples, std::size_t count, std::string* text, RobustReport* report,
                  DecodeFailure* why) {
  if (count < 1) return Fail(why, DecodeError::kNoSamples);
  if (std::all_of(samples, samples + count, [](std::int16_t s) { return s == 0; })) {
    return Fail(why, DecodeError::kSilent);
  }
  try {
    RobustDecoder decoder(RobustOptions{});
    std::vector<RobustEvent> events;
    float block[4096];
    double nextSpeed = 0;
    RobustReport local;
    RobustReport& rep = report != nullptr ? *report : local;
    rep = RobustReport{};
    for (std::size_t done = 0; done < count;) {
      const std::size_t n = std::min<std::size_t>(count - done, 4096);
      for (std::size_t i = 0; i < n; ++i) block[i] = samples[done + i];
      decoder.Push(block, n);
      done += n;
    }
    decoder.Flush();
    decoder.Take(&events);
    std::string out;
    for (const RobustEvent& e : events) {
      if (e.wordGap || e.lineEnd) {
        if (!out.empty() && out.back() != ' ') out += ' ';
        continue;
      }
      out += e.text;
      RobustCharacter c;
      c.character = e.text.empty() ? '?' : e.text[0];
      c.confidence = e.confidence;
      c.seconds = e.start;
      c.code = e.code;
      c.text = e.text;
      rep.characters.push_back(c);
      if (e.start >= nextSpeed) {
        rep.speed.push_back({e.start, e.wpm});
        nextSpeed = e.start + 5;
      }
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    rep.status = decoder.status();
    rep.pitchHz = rep.status.pitchHz;
    rep.snrDb = rep.status.snrDb;
    rep.wordGapUnits = rep.status.elementGapMs > 0
                           ? std::sqrt(rep.status.letterGapMs * rep.status.wordGapMs) / rep.status.elementGapMs
                           : 0;
    if (out.empty()) return Fail(why, DecodeError::kNoTone);
    *text = std::move(out);
  } catch (const std::bad_alloc&) {
    return Fail(why, DecodeError::kOutOfMemory);
  }
  return true;
}

}  // namespace tolvane
