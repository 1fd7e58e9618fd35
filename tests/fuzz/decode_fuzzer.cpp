// Any bytes at all, as a WAV file, through the loader and recogniser and
// through Wave2Morse. Both must agree, and the decoded text may hold only
// table characters, '?' and spaces.
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz/fuzz_support.h"
#include "morse/morse.h"
#include "recogniser/recogniser.h"
#include "tolvane/tolvane.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tolvane;
  if (!fuzz::WriteScratch(data, size)) return 0;
  const std::string& path = fuzz::ScratchPath();

  std::string text;
  DecodeFailure why;
  const bool decoded = DecodeWavToText(path.c_str(), &text, nullptr, &why);
  if (decoded == (why.error != DecodeError::kNone)) fuzz::Violated("result and reason disagree");
  if (decoded && text.empty()) fuzz::Violated("a successful decode gave no text");
  for (char c : text) {
    if (c != ' ' && c != '?' && LookupCode(c) == nullptr) fuzz::Violated("character outside the table");
  }

  static const wchar_t* const kError = Wave2Morse(nullptr);
  const std::wstring widePath(path.begin(), path.end());
  const wchar_t* result = Wave2Morse(widePath.c_str());
  if (decoded && text.size() < 200) {
    const std::wstring expected(text.begin(), text.end());
    if (result == kError || expected != result) {
      fuzz::Violated("Wave2Morse differs from the recogniser");
    }
  } else if (result != kError) {
    fuzz::Violated("Wave2Morse succeeded where the recogniser failed or overflowed");
  }
  return 0;
}
