// Recordings for the tool's tests: the keyer's samples, and the same
// written by libsndfile at any rate, channel count and format.
#ifndef TOLVANE_TESTS_TOOLS_RECORDINGS_H
#define TOLVANE_TESTS_TOOLS_RECORDINGS_H

#include <sndfile.h>
#include <soxr.h>

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "keyer/keyer.h"
#include "support/test_support.h"
#include "support/wav_bytes.h"

namespace tolvane::tool {



inline std::vector<std::int16_t> Keyed(const test::TempDir& dir, const std::string& text) {
  const std::string path = dir.File("keyed8k.wav");
  EXPECT_TRUE(KeyTextToWav(text, path.c_str(), 60));
  return test::SamplesAfterHeader(test::ReadBytes(path));
}

// The keyed samples at `rate`, written by libsndfile in `format` with
// `channels` channels; `toneChannel` >= 0 puts the tone on that channel
// only and silence on the others.
inline void Write(const std::string& path, const std::vector<std::int16_t>& samples8k, int rate, int channels,
                  int format, int toneChannel = -1) {
  std::vector<float> in(samples8k.size());
  for (std::size_t i = 0; i < in.size(); ++i) in[i] = samples8k[i] / 32768.0f;
  std::vector<float> mono(in);
  if (rate != 8000) {
    mono.resize(in.size() * static_cast<std::size_t>(rate) / 8000 + 16);
    std::size_t done = 0;
    const soxr_io_spec_t formats = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    ASSERT_EQ(soxr_oneshot(8000, rate, 1, in.data(), in.size(), nullptr, mono.data(), mono.size(), &done,
                           &formats, nullptr, nullptr),
              nullptr);
    mono.resize(done);
  }
  std::vector<float> frames;
  for (float v : mono) {
    for (int c = 0; c < channels; ++c) frames.push_back(toneChannel < 0 || c == toneChannel ? v : 0.0f);
  }
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = channels;
  info.format = format;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
  EXPECT_EQ(sf_writef_float(file, frames.data(), static_cast<sf_count_t>(mono.size())),
            static_cast<sf_count_t>(mono.size()));
  sf_close(file);
}

}  // namespace tolvane::tool

#endif  // TOLVANE_TESTS_TOOLS_RECORDINGS_H
