// Any bytes at all, as a WAV file, through the reader's memory entry and the
// basic recogniser, whole and block by block, and the recogniser's passes
// over the reader. Every reading must agree, and the decoded text may hold
// only table characters, '?' and spaces.
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "morse/morse.h"
#include "recogniser/recogniser.h"
#include "recogniser/streaming.h"
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
  DecodeReport report;
  DecodeFailure decodeWhy;
  const bool decoded = DecodeSamples(samples.get(), count, &text, &report, &decodeWhy);
  if (decoded == (decodeWhy.error != DecodeError::kNone)) fuzz::Violated("result and reason disagree");

  // In passes, keeping every run for the text and keeping none (a third pass).
  for (const std::size_t keep : {kMaxKeptRuns, std::size_t{0}}) {
    WavReader again;
    again.Open(data, size);
    WavSamples source(&again);
    std::string passesText;
    DecodeReport passesReport;
    DecodeFailure passesWhy;
    if (DecodeSourceKeeping(&source, &passesText, &passesReport, &passesWhy, std::string::npos, keep) != decoded ||
        passesWhy.error != decodeWhy.error || passesText != text) {
      fuzz::Violated("the passes and the whole recording disagree");
    }
    if (decoded && (passesReport.unit != report.unit || passesReport.symbols != report.symbols ||
                    passesReport.onRuns != report.onRuns || passesReport.offRuns != report.offRuns ||
                    passesReport.peak != report.peak)) {
      fuzz::Violated("the passes measured otherwise");
    }
  }
  if (decoded && text.empty()) fuzz::Violated("a successful decode gave no text");
  for (char c : text) {
    if (c != ' ' && c != '?' && LookupCode(c) == nullptr) fuzz::Violated("character outside the table");
  }
  return 0;
}
