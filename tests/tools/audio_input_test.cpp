// The tool's reader: recordings in the formats people have decode to the
// keyed text, and 8000 Hz 16-bit mono WAV is read exactly as Wave2Morse
// reads it.
#include "audio_input.h"

#include <sndfile.h>
#include <soxr.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "keyer/keyer.h"
#include "recogniser/recogniser.h"
#include "support/test_support.h"
#include "support/wav_bytes.h"
#include "tolvane/tolvane.h"

namespace tolvane::tool {
namespace {

using test::TempDir;

const char kText[] = "CQ DE TOLVANE 73";

std::vector<std::int16_t> Keyed(const TempDir& dir, const std::string& text) {
  const std::string path = dir.File("keyed8k.wav");
  EXPECT_TRUE(KeyTextToWav(text, path.c_str(), 60));
  return test::SamplesAfterHeader(test::ReadBytes(path));
}

// The keyed samples at `rate`, written by libsndfile in `format` with
// `channels` channels; `toneChannel` >= 0 puts the tone on that channel
// only and silence on the others.
void Write(const std::string& path, const std::vector<std::int16_t>& samples8k, int rate, int channels,
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

std::string Decode(const std::string& path, std::string* via = nullptr) {
  Recording recording;
  std::string error;
  if (!ReadRecording(path, &recording, &error)) return "<" + error + ">";
  if (via != nullptr) *via = recording.via;
  std::string text;
  DecodeFailure why;
  if (!DecodeSamples(recording.samples(), recording.count(), &text, nullptr, &why)) {
    return "<" + DescribeFailure(why) + ">";
  }
  return text;
}

TEST(ReadRecording, FormatsPeopleHaveDecodeToTheKeyedText) {
  TempDir dir;
  const std::vector<std::int16_t> keyed = Keyed(dir, kText);
  struct Case {
    std::string name;
    int rate;
    int channels;
    int format;
    int toneChannel;
  };
  const Case cases[] = {
      {"44k1-stereo-24bit.wav", 44100, 2, SF_FORMAT_WAV | SF_FORMAT_PCM_24, -1},
      {"48k-float.wav", 48000, 1, SF_FORMAT_WAV | SF_FORMAT_FLOAT, -1},
      {"22k05-8bit.wav", 22050, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_U8, -1},
      {"8k-stereo.wav", 8000, 2, SF_FORMAT_WAV | SF_FORMAT_PCM_16, -1},
      {"extensible.wav", 16000, 1, SF_FORMAT_WAVEX | SF_FORMAT_PCM_16, -1},
      {"44k1.flac", 44100, 1, SF_FORMAT_FLAC | SF_FORMAT_PCM_16, -1},
      {"44k1.ogg", 44100, 1, SF_FORMAT_OGG | SF_FORMAT_VORBIS, -1},
      {"48k.opus", 48000, 1, SF_FORMAT_OGG | SF_FORMAT_OPUS, -1},
      {"44k1.aiff", 44100, 2, SF_FORMAT_AIFF | SF_FORMAT_PCM_16, -1},
      {"48k-left-only.wav", 48000, 2, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 0},
      {"44k1-right-only.flac", 44100, 2, SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 1},
  };
  for (const Case& c : cases) {
    const std::string path = dir.File(c.name);
    Write(path, keyed, c.rate, c.channels, c.format, c.toneChannel);
    std::string via;
    EXPECT_EQ(Decode(path, &via), kText) << c.name;
    EXPECT_NE(via.find("libsndfile"), std::string::npos) << c.name;
  }
}

TEST(ReadRecording, TheLibrarysOwnWavsAreReadAsWave2MorseReadsThem) {
  TempDir dir;
  Keyed(dir, kText);
  const std::vector<std::int16_t> ones(100, 1000);
  test::WriteBytes(dir.File("truncated.wav"),
                   test::Riff({test::Chunk("fmt ", test::FormatBody()),
                               test::Chunk("data", test::SampleBytes(ones), 2000)}));
  test::WriteBytes(dir.File("silent.wav"), test::PcmWav(std::vector<std::int16_t>(800, 0)));
  testing::internal::CaptureStderr();
  const wchar_t* const error = Wave2Morse(nullptr);
  for (const std::string name : {"keyed8k.wav", "truncated.wav", "silent.wav"}) {
    const std::string path = dir.File(name);
    std::string via;
    const std::string ours = Decode(path, &via);
    const wchar_t* theirs = Wave2Morse(std::wstring(path.begin(), path.end()).c_str());
    if (theirs == error) {
      EXPECT_EQ(ours.front(), '<') << name << ": the tool must fail where Wave2Morse does";
    } else {
      EXPECT_EQ(std::wstring(ours.begin(), ours.end()), theirs) << name;
      EXPECT_EQ(via, "Tolvane's WAV reader") << name;
    }
  }
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(Decode(dir.File("truncated.wav")), "<truncated: the data chunk is longer than the file>");
}

TEST(ReadRecording, PeerFilesTheLibraryRefuses) {
  struct Case {
    std::string file;
    std::string text;
  };
  const Case cases[] = {
      {"ebook2cw-20wpm-700hz.ogg", "QRZ? K1ABC "},
      {"ebook2cw-30wpm-500hz.mp3", " QRZ? K1ABC "},
      {"sox-24bit-extensible.wav", "E"},
      {"sox-float.wav", "E"},
      {"sox-44100hz-stereo.wav", "E"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Decode(std::string(TOLVANE_DATA_DIR) + "/" + c.file), c.text) << c.file;
  }
}

TEST(ReadRecording, SaysWhyNot) {
  TempDir dir;
  test::WriteBytes(dir.File("text.txt"), test::Bytes(500, 'x'));
  Write(dir.File("silent.flac"), std::vector<std::int16_t>(8000, 0), 44100, 1, SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
  Write(dir.File("empty.wav"), {}, 44100, 2, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
  struct Case {
    std::string path;
    std::string result;
  };
  const Case cases[] = {
      {dir.File("text.txt"), "<libsndfile cannot read it: Format not recognised.>"},
      {dir.File("silent.flac"), "<the recording is silent (every sample is zero)>"},
      {dir.File("empty.wav"), "<the recording holds no samples>"},
      {dir.File("missing.ogg"), "<cannot open: No such file or directory>"},
      {dir.path(), "<cannot read: Is a directory>"},
  };
  for (const Case& c : cases) EXPECT_EQ(Decode(c.path), c.result) << c.path;
}

}  // namespace
}  // namespace tolvane::tool
