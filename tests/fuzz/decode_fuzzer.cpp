// Any bytes at all, as a WAV file, through the reader's memory entry and the
// basic recogniser, whole and block by block. Both readings must agree, and
// the decoded text may hold only table characters, '?' and spaces.
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "morse/morse.h"
#include "recogniser/recogniser.h"
#include "wav/wav.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tolvane;
  std::unique_ptr<std::int16_t[]> samples;
  int rate = 0;
  std::size_t count = 0;
  DecodeFailure why;
  const bool loaded = LoadWavSamples(data, size, &samples, &rate, &count, &why);
  if (loaded == (why.error != DecodeError::kNone)) fuzz::Violated("load result and reason disagree");

  // The streaming entry must see the same samples, block by block.
  WavReader reader;
  DecodeFailure streamWhy;
  if (reader.Open(data, size, &streamWhy) != loaded) fuzz::Violated("the two entries disagree");
  if (loaded) {
    std::int16_t block[37];  // an odd size, so blocks end anywhere
    std::size_t at = 0;
    for (std::size_t n; (n = reader.Read(block, 37)) > 0; at += n) {
      for (std::size_t i = 0; i < n; ++i) {
        if (at + i >= count || block[i] != samples[at + i]) fuzz::Violated("streamed samples differ");
      }
    }
    if (at != count) fuzz::Violated("streamed count differs");
  } else if (streamWhy.error != why.error) {
    fuzz::Violated("the two entries give different reasons");
  }
  if (!loaded) return 0;

  std::string text;
  DecodeFailure decodeWhy;
  const bool decoded = DecodeSamples(samples.get(), count, &text, nullptr, &decodeWhy);
  if (decoded == (decodeWhy.error != DecodeError::kNone)) fuzz::Violated("result and reason disagree");
  if (decoded && text.empty()) fuzz::Violated("a successful decode gave no text");
  for (char c : text) {
    if (c != ' ' && c != '?' && LookupCode(c) == nullptr) fuzz::Violated("character outside the table");
  }
  return 0;
}
