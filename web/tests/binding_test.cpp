// The page's C functions, natively: what crosses into JavaScript must be
// valid JSON, refused options must leave nothing behind, and the input
// room must push exactly what the page wrote into it.
#include "binding/tolvane_web.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

std::vector<float> Key(const char* text, int rate) {
  const int count = tv_key(text, 20, 0, 0, 50, 600, 1, rate, 5, "basic", 0, 1);
  EXPECT_GT(count, 0) << tv_key_error();
  std::vector<float> samples(static_cast<std::size_t>(count > 0 ? count : 0) + static_cast<std::size_t>(rate));
  for (int i = 0; i < count; ++i) samples[static_cast<std::size_t>(i)] = tv_key_samples()[i] / 32768.0f;
  return samples;  // with a second of silence after the text
}

// Appends the objects of a JSON array of events, one per line.
void AppendEvents(std::string* out, const std::string& array) {
  for (std::size_t i = 1; i + 1 < array.size(); ++i) {
    *out += array[i];
    if (array[i] == '}' && array[i + 1] == ',') *out += '\n', ++i;
  }
  if (array.size() > 2) *out += '\n';
}

// Pushes `samples` in blocks whose sizes cycle through `sizes`; the events
// taken after each.
std::string Decode(const std::vector<float>& samples, int rate, const std::vector<int>& sizes) {
  TvDecoder* decoder = tv_decoder_new(rate, 0, 0, 0);
  EXPECT_NE(decoder, nullptr);
  std::string events;
  std::size_t done = 0;
  for (std::size_t i = 0; done < samples.size(); ++i) {
    const std::size_t n = std::min(samples.size() - done, static_cast<std::size_t>(sizes[i % sizes.size()]));
    float* room = tv_decoder_input(decoder, static_cast<int>(n));
    std::copy(samples.begin() + static_cast<std::ptrdiff_t>(done),
              samples.begin() + static_cast<std::ptrdiff_t>(done + n), room);
    tv_decoder_push(decoder, static_cast<int>(n));
    done += n;
    AppendEvents(&events, tv_decoder_take(decoder));
  }
  tv_decoder_flush(decoder);
  AppendEvents(&events, tv_decoder_take(decoder));
  tv_decoder_free(decoder);
  return events;
}

TEST(WebBinding, QuoteAndBackslashComeOutEscaped) {
  // '"' is a character of the alphabet; unescaped it would end the string
  // and the page's JSON.parse would throw.
  const std::string events = Decode(Key("\"HI\" \"HI\"", 8000), 8000, {4096});
  EXPECT_NE(events.find(R"("text":"\"")"), std::string::npos) << events;
  EXPECT_EQ(events.find(R"("text":""")"), std::string::npos) << events;
}

TEST(WebBinding, BlockSizesDoNotChangeTheEvents) {
  // Small blocks after large ones reuse a larger room: only `count`
  // samples of it may be pushed.
  const std::vector<float> samples = Key("CQ DE TOLVANE", 8000);
  const std::string whole = Decode(samples, 8000, {static_cast<int>(samples.size())});
  EXPECT_NE(whole.find(R"("text":"V")"), std::string::npos) << whole;
  EXPECT_EQ(Decode(samples, 8000, {5000, 100, 2048, 1}), whole);
}

TEST(WebBinding, StatusNamesTheSignal) {
  TvDecoder* decoder = tv_decoder_new(8000, 0, 0, 0);
  ASSERT_NE(decoder, nullptr);
  std::string status = tv_decoder_status(decoder);
  EXPECT_EQ(status.rfind("{\"locked\":false,", 0), 0u) << status;
  const int count = tv_key("PARIS PARIS PARIS", 20, 0, 0, 50, 750, 1, 8000, 5, "basic", 0, 1);
  ASSERT_GT(count, 0);
  float* room = tv_decoder_input(decoder, count);
  for (int i = 0; i < count; ++i) room[i] = tv_key_samples()[i] / 32768.0f;
  tv_decoder_push(decoder, count);
  status = tv_decoder_status(decoder);
  double pitch = 0, wpm = 0;
  ASSERT_EQ(std::sscanf(status.c_str(), "{\"locked\":true,\"open\":true,\"pitchHz\":%lf,\"wpm\":%lf", &pitch, &wpm), 2)
      << status;
  EXPECT_NEAR(pitch, 750, 10) << status;
  EXPECT_NEAR(wpm, 20, 2) << status;
  tv_decoder_free(decoder);
}

TEST(WebBinding, DecoderOptionsOutOfRangeGiveNoDecoder) {
  EXPECT_EQ(tv_decoder_new(999, 0, 0, 0), nullptr);
  EXPECT_EQ(tv_decoder_new(8000, 4000, 0, 0), nullptr);     // pitch at half the rate
  EXPECT_EQ(tv_decoder_new(8000, 0, 2000, 1000), nullptr);  // band upside down
  EXPECT_EQ(tv_decoder_new(8000, -5, 0, 0), nullptr);
}

TEST(WebBinding, RefusedKeyingNamesWhy) {
  // The tool's limits: the page shows the reason instead of keying.
  struct Case {
    double wpm, farnsworth, pitch, rise;
    int rate;
    const char* charset;
    const char* why;
  };
  const Case cases[] = {
      {20, 25, 600, 0, 8000, "basic", "Farnsworth"},
      {20, 0, 4000, 0, 8000, "basic", "half the rate"},
      {40, 0, 600, 16, 8000, "basic", "does not fit"},  // a 30 ms dot
      {5, 0, 600, 0, 8000, "basic", "speed"},
      {20, 0, 600, 0, 7999, "basic", "rate"},
      {20, 0, 600, 0, 8000, "klingon", "charset"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(tv_key("E", c.wpm, c.farnsworth, 0, 50, c.pitch, 1, c.rate, c.rise, c.charset, 0, 1), -1) << c.why;
    EXPECT_NE(std::string(tv_key_error()).find(c.why), std::string::npos) << tv_key_error();
  }
  EXPECT_GT(tv_key("E", 20, 20, 0, 50, 3999, 1, 8000, 10, "basic", 0, 1), 0) << "the limits themselves key";
}

TEST(WebBinding, SkippedCharactersAreNamedOnce) {
  ASSERT_GT(tv_key("A\xD0\x96" "B\xD0\x96\xE2\x9C\x93", 20, 0, 0, 50, 600, 1, 8000, 0, "basic", 0, 1), 0);
  EXPECT_EQ(std::string(tv_key_skipped()), "{\"count\":3,\"characters\":[\"\xD0\x96\",\"\xE2\x9C\x93\"]}");
  // The same letter in its own charset is keyed.
  ASSERT_GT(tv_key("\xD0\x96", 20, 0, 0, 50, 600, 1, 8000, 0, "cyrillic", 0, 1), 0);
  EXPECT_EQ(std::string(tv_key_skipped()), R"({"count":0,"characters":[]})");
}

}  // namespace
