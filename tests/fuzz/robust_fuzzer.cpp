// Any samples at all through the robust recogniser: it must end, and say
// only table characters, named prosigns (<SK>), '?' and single spaces, one
// reported character per character or prosign of text.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "morse/morse.h"
#include "robust/robust.h"

namespace {

bool IsNamedProsign(const std::string& name) {
  std::size_t count = 0;
  const tolvane::ProsignEntry* table = tolvane::Prosigns(&count);
  for (std::size_t i = 0; i < count; ++i) {
    if (name == table[i].name) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tolvane;
  std::vector<std::int16_t> samples(size / 2);
  if (!samples.empty()) std::memcpy(samples.data(), data, samples.size() * 2);
  std::string text;
  RobustReport report;
  DecodeFailure why;
  const bool ok = DecodeRobust(samples.data(), samples.size(), &text, &report, &why);
  if (ok == (why.error != DecodeError::kNone)) fuzz::Violated("result and reason disagree");
  if (!ok) return 0;
  std::size_t characters = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == ' ') {
      if (i == 0 || i + 1 == text.size() || text[i - 1] == ' ') fuzz::Violated("stray space");
      continue;
    }
    ++characters;
    if (c == '<') {
      const std::size_t close = text.find('>', i);
      if (close == std::string::npos || !IsNamedProsign(text.substr(i + 1, close - i - 1))) {
        fuzz::Violated("unnamed prosign");
      }
      i = close;
      continue;
    }
    if (c != '?' && LookupCode(c) == nullptr) fuzz::Violated("character outside the table");
  }
  if (characters != report.characters.size()) fuzz::Violated("report and text disagree");
  for (const RobustCharacter& c : report.characters) {
    if (!(c.confidence >= 0 && c.confidence <= 1)) fuzz::Violated("confidence out of range");
  }
  return 0;
}
