// The tool's audio input: recordings in the formats people have decode to
// the keyed text, from a file and from a stream alike; 8000 Hz 16-bit mono
// WAV is read exactly as Wave2Morse reads it; streams are read as they
// come; hostile samples and truncated files end as they must.
#include "audio_source.h"

#include <sndfile.h>
#include <soxr.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "byte_reader.h"
#include "keyer/keyer.h"
#include "recogniser/recogniser.h"
#include "support/test_support.h"
#include "support/wav_bytes.h"
#include "tools/recordings.h"
#include "tolvane/tolvane.h"

namespace tolvane::tool {
namespace {

using test::Bytes;
using test::TempDir;

const char kText[] = "CQ DE TOLVANE 73";

// The basic recogniser over an open source, as tolvane decode runs it.
class Samples : public SampleSource {
 public:
  explicit Samples(AudioSource* source) : source_(source) {}
  std::size_t Read(std::int16_t* out, std::size_t max, DecodeFailure* why) override {
    const std::size_t n = source_->ReadPcm16(out, max);
    if (n == 0 && source_->failed()) Fail(why, DecodeError::kRead);
    return n;
  }
  bool Rewind(std::uint64_t, DecodeFailure* why) override { return source_->Rewind() || Fail(why, DecodeError::kRead); }

 private:
  AudioSource* source_;
};

std::string DecodeOpen(AudioSource* source, bool opened) {
  if (!opened) return "<" + source->error() + ">";
  Samples samples(source);
  ReplaySource replay(&samples, 1 << 22);
  std::string text;
  DecodeFailure why;
  if (!DecodeSource(source->stream() ? static_cast<SampleSource*>(&replay) : &samples, &text, nullptr, &why)) {
    return "<" + (source->failed() ? source->error() : DescribeFailure(why)) + ">";
  }
  return text;
}

std::string Decode(const std::string& path, std::string* via = nullptr) {
  AudioSource source;
  const bool opened = source.Open(path, SourceOptions());
  const std::string text = DecodeOpen(&source, opened);
  if (via != nullptr) *via = source.via();
  return text;
}

// Every 16-bit sample a source gives, or its failure.
std::vector<std::int16_t> Pcm(AudioSource* source, bool opened, std::string* error) {
  std::vector<std::int16_t> out;
  std::int16_t block[1000];
  if (opened) {
    for (std::size_t n; (n = source->ReadPcm16(block, 1000)) > 0;) out.insert(out.end(), block, block + n);
  }
  *error = source->error();
  return out;
}

TEST(AudioSource, FormatsPeopleHaveDecodeToTheKeyedTextFromFilesAndStreams) {
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
      {"44k1.w64", 44100, 1, SF_FORMAT_W64 | SF_FORMAT_PCM_16, -1},
      {"44k1.caf", 44100, 1, SF_FORMAT_CAF | SF_FORMAT_PCM_16, -1},
      {"22k05.mp3", 22050, 1, SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, -1},
      {"48k-left-only.wav", 48000, 2, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 0},
      {"44k1-right-only.flac", 44100, 2, SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 1},
  };
  for (const Case& c : cases) {
    const std::string path = dir.File(c.name);
    Write(path, keyed, c.rate, c.channels, c.format, c.toneChannel);
    std::string via;
    EXPECT_EQ(Decode(path, &via), kText) << c.name;
    EXPECT_NE(via.find("libsndfile"), std::string::npos) << c.name;
    // The same bytes as a stream, a few at a time: no reader may split a
    // sample or need to go back.
    const Bytes bytes = test::ReadBytes(path);
    for (std::size_t most : {7u, 4096u}) {
      AudioSource stream;
      EXPECT_EQ(DecodeOpen(&stream, stream.OpenMemory(bytes.data(), bytes.size(), true, most, SourceOptions())), kText)
          << c.name << " as a stream, " << most << " bytes a read";
    }
  }
}

TEST(AudioSource, TheLibrarysOwnWavsAreReadAsWave2MorseReadsThem) {
  TempDir dir;
  Keyed(dir, kText);
  const std::vector<std::int16_t> ones(100, 1000);
  test::WriteBytes(dir.File("truncated.wav"), test::Riff({test::Chunk("fmt ", test::FormatBody()),
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

TEST(AudioSource, PeerFilesTheLibraryRefuses) {
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

// A channel that gives `good` bytes of a file and then fails.
class Failing : public ByteChannel {
 public:
  Failing(Bytes bytes, std::size_t good) : bytes_(std::move(bytes)), good_(good) {}
  long Read(void* out, std::size_t n, std::int64_t offset) override {
    const auto at = static_cast<std::size_t>(offset);
    if (at + n > good_) {
      errno = EIO;
      return -1;
    }
    std::copy(bytes_.begin() + static_cast<std::ptrdiff_t>(at), bytes_.begin() + static_cast<std::ptrdiff_t>(at + n),
              static_cast<unsigned char*>(out));
    return static_cast<long>(n);
  }
  bool stream() const override { return false; }
  std::int64_t size() const override { return static_cast<std::int64_t>(bytes_.size()); }

 private:
  Bytes bytes_;
  std::size_t good_;
};

// A file that ends after `held` bytes although it said it was larger: one
// cut while it was being read.
class Shrunk : public ByteChannel {
 public:
  Shrunk(Bytes bytes, std::size_t held) : bytes_(std::move(bytes)), held_(held) {}
  long Read(void* out, std::size_t n, std::int64_t offset) override {
    const auto at = std::min(static_cast<std::size_t>(offset), held_);
    const std::size_t k = std::min(n, held_ - at);
    std::copy(bytes_.begin() + static_cast<std::ptrdiff_t>(at), bytes_.begin() + static_cast<std::ptrdiff_t>(at + k),
              static_cast<unsigned char*>(out));
    return static_cast<long>(k);
  }
  bool stream() const override { return false; }
  std::int64_t size() const override { return static_cast<std::int64_t>(bytes_.size()); }

 private:
  Bytes bytes_;
  std::size_t held_;
};

TEST(AudioSource, SaysWhyNot) {
  TempDir dir;
  const std::vector<std::int16_t> keyed = Keyed(dir, kText);
  test::WriteBytes(dir.File("text.txt"), Bytes(500, 'x'));
  Write(dir.File("silent.flac"), std::vector<std::int16_t>(8000, 0), 44100, 1, SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
  Write(dir.File("empty.wav"), {}, 44100, 2, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
  Write(dir.File("44k1.wav"), keyed, 44100, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
  Write(dir.File("500hz.wav"), keyed, 500, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
  Write(dir.File("44k1.sds"), keyed, 44100, 1, SF_FORMAT_SDS | SF_FORMAT_PCM_16);
  Bytes cut = test::ReadBytes(dir.File("44k1.wav"));
  cut.resize(cut.size() / 2);
  test::WriteBytes(dir.File("cut.wav"), cut);
  struct Case {
    std::string path;
    bool stream;
    std::string result;
  };
  const Case cases[] = {
      {dir.File("text.txt"), false, "<libsndfile cannot read it: Format not recognised.>"},
      {dir.File("text.txt"), true, "<not a format the tool reads from a stream (WAV, Wave64, AIFF, CAF, AU, FLAC, Ogg, "
                                   "MP3); give it as a file>"},
      {dir.File("44k1.sds"), false, kText},
      {dir.File("44k1.sds"), true, "<not a format the tool reads from a stream (WAV, Wave64, AIFF, CAF, AU, FLAC, Ogg, "
                                   "MP3); give it as a file>"},
      {dir.File("silent.flac"), false, "<the recording is silent (every sample is zero)>"},
      {dir.File("empty.wav"), false, "<the recording holds no samples>"},
      {dir.File("500hz.wav"), false, "<the sample rate is 500 Hz, below 1000 Hz: no Morse code fits in it>"},
      {dir.File("cut.wav"), false, "<truncated: the header declares 852012 bytes of samples, the file holds 425984>"},
      {dir.File("cut.wav"), true, "CQ DE TOI"},  // a stream ends where it ends
      {dir.File("missing.ogg"), false, "<cannot open: No such file or directory>"},
      {dir.path(), false, "<cannot read: Is a directory>"},
  };
  for (const Case& c : cases) {
    if (!c.stream) {
      EXPECT_EQ(Decode(c.path), c.result) << c.path;
      continue;
    }
    const Bytes bytes = test::ReadBytes(c.path);
    AudioSource source;
    EXPECT_EQ(DecodeOpen(&source, source.OpenMemory(bytes.data(), bytes.size(), true, 4096, SourceOptions())), c.result)
        << c.path << " as a stream";
  }
  // A read that fails half-way through a file, and a file that ends
  // half-way: the library's reader and libsndfile alike say it is truncated.
  for (const std::string name : {"keyed8k.wav", "44k1.wav"}) {
    const Bytes bytes = test::ReadBytes(dir.File(name));
    AudioSource failing;
    std::string result =
        DecodeOpen(&failing, failing.OpenChannel(std::make_unique<Failing>(bytes, bytes.size() / 2), SourceOptions()));
    EXPECT_NE(result.find("truncated after"), std::string::npos) << name << ": " << result;
    EXPECT_NE(result.find("Input/output error"), std::string::npos) << name << ": " << result;
    AudioSource shrunk;
    result = DecodeOpen(&shrunk, shrunk.OpenChannel(std::make_unique<Shrunk>(bytes, bytes.size() / 2), SourceOptions()));
    EXPECT_NE(result.find("truncated"), std::string::npos) << name << ": " << result;
  }
}

// Float samples as a 32-bit float WAV at `rate`.
Bytes FloatWav(const std::vector<float>& values, std::uint32_t rate, std::uint32_t channels = 1) {
  Bytes data;
  for (float v : values) {
    std::uint32_t bits = 0;
    std::memcpy(&bits, &v, 4);
    test::PutU32(&data, bits);
  }
  return test::Riff({test::Chunk("fmt ", test::FormatBody(3, channels, rate, 32)), test::Chunk("data", data)});
}

TEST(AudioSource, NonFiniteSamplesAreSilenceAndHugeOnesClipped) {
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float big = std::numeric_limits<float>::max();
  std::vector<float> tone;
  for (int i = 0; i < 8000; ++i) tone.push_back(0.5f * std::sin(0.47f * static_cast<float>(i)));
  struct Case {
    std::string name;
    std::uint32_t rate;
    std::vector<std::pair<std::size_t, float>> changes;  // sample, value
  };
  const Case cases[] = {
      {"NaN at 8000 Hz", 8000, {{10, nan}, {4000, -nan}}},
      {"infinities at 8000 Hz", 8000, {{10, inf}, {11, -inf}}},
      {"NaN through the resampler", 44100, {{100, nan}, {5000, nan}}},
      {"infinities through the resampler", 44100, {{100, inf}, {5000, -inf}}},
      {"the largest floats through the resampler", 44100, {{100, big}, {101, -big}, {102, big}}},
  };
  for (const Case& c : cases) {
    std::vector<float> hostile = tone;
    std::vector<float> clean = tone;
    for (const auto& [at, value] : c.changes) {
      hostile[at] = value;
      clean[at] = std::isfinite(value) ? std::clamp(value, -1e6f, 1e6f) : 0.0f;
    }
    const Bytes hostileBytes = FloatWav(hostile, c.rate);
    const Bytes cleanBytes = FloatWav(clean, c.rate);
    for (const double rate : {8000.0, 0.0}) {
      SourceOptions options;
      options.rate = rate;
      AudioSource a;
      AudioSource b;
      ASSERT_TRUE(a.OpenMemory(hostileBytes.data(), hostileBytes.size(), false, 0, options)) << a.error();
      ASSERT_TRUE(b.OpenMemory(cleanBytes.data(), cleanBytes.size(), false, 0, options)) << b.error();
      std::vector<float> x;
      std::vector<float> y;
      std::vector<float> block;
      while (a.Read(&block)) x.insert(x.end(), block.begin(), block.end());
      while (b.Read(&block)) y.insert(y.end(), block.begin(), block.end());
      EXPECT_EQ(x, y) << c.name << " at " << rate;
      for (float v : x) ASSERT_TRUE(std::isfinite(v)) << c.name;
    }
  }
}

TEST(AudioSource, RatesChannelsAndLimits) {
  std::vector<float> stereo;  // I a ramp, Q its negation
  for (int i = 0; i < 4000; ++i) {
    stereo.push_back(static_cast<float>(i) / 8000.0f);
    stereo.push_back(-static_cast<float>(i) / 8000.0f);
  }
  const Bytes iq = FloatWav(stereo, 48000, 2);
  const Bytes mono = FloatWav(std::vector<float>(48000, 0.25f), 48000);
  struct Case {
    std::string name;
    const Bytes* file;
    SourceOptions options;
    double rate;               // of the blocks
    std::size_t samples;       // given in all
    std::string error;
  };
  SourceOptions native;
  native.rate = 0;
  SourceOptions iqNative = native;
  iqNative.iq = true;
  SourceOptions iq8k;
  iq8k.iq = true;
  SourceOptions capped = native;
  capped.maxSeconds = 0.25;
  SourceOptions capped8k;
  capped8k.maxSeconds = 0.5;
  const Case cases[] = {
      {"native rate", &mono, native, 48000, 48000, ""},
      {"8000 Hz", &mono, SourceOptions(), 8000, 8000, ""},
      {"stereo mixed to mono", &iq, native, 48000, 4000, ""},
      {"I/Q pairs at the input's rate", &iq, iqNative, 48000, 8000, ""},
      {"I/Q pairs at 8000 Hz", &iq, iq8k, 8000, 2 * 667, ""},
      {"I/Q from one channel", &mono, iqNative, 0, 0, "I/Q input needs 2 channels; it has 1"},
      {"a quarter of a second", &mono, capped, 48000, 12000, ""},
      {"half a second at 8000 Hz", &mono, capped8k, 8000, 4000, ""},
  };
  for (const Case& c : cases) {
    AudioSource source;
    const bool opened = source.OpenMemory(c.file->data(), c.file->size(), false, 0, c.options);
    EXPECT_EQ(source.error(), c.error) << c.name;
    if (!opened) continue;
    EXPECT_EQ(source.rate(), c.rate) << c.name;
    std::vector<float> all;
    std::vector<float> block;
    while (source.Read(&block)) all.insert(all.end(), block.begin(), block.end());
    // The resampler's filter may add or drop a sample at the ends.
    EXPECT_NEAR(static_cast<double>(all.size()), static_cast<double>(c.samples), c.rate == 8000 ? 2.0 : 0.0) << c.name;
    if (c.options.iq && c.rate == 48000) {
      for (std::size_t i = 0; i + 1 < all.size(); i += 2) {
        ASSERT_EQ(all[i], static_cast<float>(i / 2) / 8000.0f) << c.name;
        ASSERT_EQ(all[i + 1], -all[i]) << c.name;
      }
    }
  }
}

TEST(AudioSource, HeaderlessSamples) {
  TempDir dir;
  const std::vector<std::int16_t> keyed = Keyed(dir, kText);
  Bytes s16;
  Bytes u8;
  Bytes f32;
  for (std::int16_t v : keyed) {
    test::PutU16(&s16, static_cast<std::uint16_t>(v));
    u8.push_back(static_cast<unsigned char>(128 + v / 256));
    const float f = static_cast<float>(v) / 32768.0f;
    std::uint32_t bits = 0;
    std::memcpy(&bits, &f, 4);
    test::PutU32(&f32, bits);
  }
  struct Case {
    RawFormat format;
    const Bytes* bytes;
  };
  for (const Case& c : {Case{RawFormat::kS16, &s16}, Case{RawFormat::kU8, &u8}, Case{RawFormat::kF32, &f32}}) {
    for (bool stream : {false, true}) {
      SourceOptions options;
      options.rawRate = 8000;
      options.rawFormat = c.format;
      AudioSource source;
      EXPECT_EQ(DecodeOpen(&source, source.OpenMemory(c.bytes->data(), c.bytes->size(), stream, 333, options)), kText)
          << static_cast<int>(c.format) << (stream ? " stream" : " file");
    }
  }
  // Signed 16-bit samples come back exactly, and so does a second pass.
  SourceOptions options;
  options.rawRate = 8000;
  AudioSource source;
  std::string error;
  EXPECT_EQ(Pcm(&source, source.OpenMemory(s16.data(), s16.size(), false, 0, options), &error), keyed);
  ASSERT_TRUE(source.Rewind());
  EXPECT_EQ(Pcm(&source, true, &error), keyed);
}

// A live stream: the writer has sent some audio and waits. Reads must give
// what came instead of waiting for more.
TEST(AudioSource, AStreamGivesWhatHasArrived) {
  TempDir dir;
  const std::vector<std::int16_t> keyed = Keyed(dir, "E");
  Write(dir.File("44k1.wav"), keyed, 44100, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
  Bytes piped = test::ReadBytes(dir.File("44k1.wav"));
  for (std::size_t at : {4u, 40u}) piped[at] = piped[at + 1] = piped[at + 2] = piped[at + 3] = 0xFF;
  Bytes raw;
  for (std::int16_t v : keyed) test::PutU16(&raw, static_cast<std::uint16_t>(v));
  struct Case {
    std::string name;
    Bytes bytes;
    SourceOptions options;
  };
  SourceOptions rawOptions;
  rawOptions.rawRate = 8000;
  const Case cases[] = {
      {"the library's WAV", test::PcmWav(keyed), SourceOptions()},
      {"a 44.1 kHz WAV with no size", piped, SourceOptions()},
      {"headerless", raw, rawOptions},
  };
  for (const Case& c : cases) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    // Half the file, and the writer stays open.
    const std::size_t half = c.bytes.size() / 2;
    ASSERT_EQ(write(fds[1], c.bytes.data(), half), static_cast<ssize_t>(half));
    alarm(20);  // a read that waits for more never returns: fail instead of hanging
    AudioSource source;
    ASSERT_TRUE(source.Open("/dev/fd/" + std::to_string(fds[0]), c.options)) << c.name << ": " << source.error();
    std::vector<float> block;
    EXPECT_TRUE(source.Read(&block)) << c.name;
    EXPECT_FALSE(block.empty()) << c.name;
    alarm(0);
    close(fds[1]);
    while (source.Read(&block)) {
    }
    EXPECT_FALSE(source.failed()) << c.name << ": " << source.error();
    close(fds[0]);
  }
}

}  // namespace
}  // namespace tolvane::tool
