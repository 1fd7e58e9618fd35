#if !defined(_WIN32)
#include <unistd.h>
#endif

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "keyer/keyer.h"
#include "support/test_support.h"
#include "support/wav_bytes.h"
#include "wav/wav.h"

namespace tolvane {
namespace {

using namespace test;

const std::vector<std::int16_t> kThree = {1000, -2000, 32767};

struct LoadResult {
  bool ok;
  DecodeError error;
  std::size_t count;
  std::vector<std::int16_t> samples;
};

LoadResult Finish(bool ok, const DecodeFailure& why, int rate, std::size_t count,
                  const std::unique_ptr<std::int16_t[]>& samples) {
  LoadResult result{ok, why.error, count, {}};
  if (ok) {
    EXPECT_EQ(rate, 8000);
    result.samples.assign(samples.get(), samples.get() + count);
  }
  return result;
}

LoadResult Load(const std::string& path) {
  std::unique_ptr<std::int16_t[]> samples;
  int rate = 0;
  std::size_t count = 0;
  DecodeFailure why;
  const bool ok = LoadWavSamples(path.c_str(), &samples, &rate, &count, &why);
  return Finish(ok, why, rate, count, samples);
}

// Through the memory entry: no file involved.
LoadResult Load(const Bytes& bytes) {
  std::unique_ptr<std::int16_t[]> samples;
  int rate = 0;
  std::size_t count = 0;
  DecodeFailure why;
  const bool ok = LoadWavSamples(bytes.data(), bytes.size(), &samples, &rate, &count, &why);
  return Finish(ok, why, rate, count, samples);
}

TEST(LoadWavSamples, KeyedFilesLoadWithTheirSampleCount) {
  TempDir dir;
  for (const std::string text : {"", "E", "SOS", "HELLO WORLD", " ", "0123456789"}) {
    const std::string path = dir.File("k.wav");
    ASSERT_TRUE(KeyTextToWav(text, path.c_str(), 60));
    const LoadResult r = Load(path);
    ASSERT_TRUE(r.ok) << text;
    EXPECT_EQ(r.count, CountSamples(text, 480)) << text;
    const Bytes file = ReadBytes(path);
    EXPECT_EQ(SampleBytes(r.samples), Bytes(file.begin() + 44, file.end())) << text;
  }
}

TEST(LoadWavSamples, AcceptsAndRefusesExactlyWhatTheLayoutRulesSay) {
  const Bytes fmt = Chunk("fmt ", FormatBody());
  const Bytes data = Chunk("data", SampleBytes(kThree));
  Bytes fmt18 = FormatBody();
  fmt18.insert(fmt18.end(), {0, 0});
  Bytes fmtCut = Chunk("fmt ", FormatBody());
  fmtCut.resize(8 + 10);  // ends inside the fields
  Bytes riffOnly;
  PutTag(&riffOnly, "RIFF");
  Bytes riffSize = riffOnly;
  PutU32(&riffSize, 4);
  Bytes dataCut = Chunk("data", SampleBytes({1, 2}), 1000);
  Bytes stereoFmt = FormatBody(1, 2);
  // A second "fmt " before the data replaces the first.
  const Bytes fmtTwice = Riff({Chunk("fmt ", FormatBody(1, 2)), fmt, data});
  struct Case {
    std::string name;
    Bytes file;
    DecodeError error;  // kNone: loads
    std::size_t count;
  };
  const Case cases[] = {
      {"plain", Riff({fmt, data}), DecodeError::kNone, 3},
      {"data before fmt", Riff({data, fmt}), DecodeError::kNone, 3},
      {"18-byte fmt", Riff({Chunk("fmt ", fmt18), data}), DecodeError::kNone, 3},
      {"LIST between", Riff({fmt, Chunk("LIST", Bytes(26, 'x')), data}), DecodeError::kNone, 3},
      {"odd chunk, no pad", Riff({fmt, Chunk("junk", Bytes(3, 'x')), data}), DecodeError::kNone, 3},
      {"odd chunk, padded", Riff({fmt, Chunk("junk", Bytes(3, 'x')), Bytes{0}, data}),
       DecodeError::kNoData, 0},
      {"trailing chunks ignored", Riff({fmt, data, Bytes{'j', 'u', 'n'}}), DecodeError::kNone, 3},
      {"fmt twice", fmtTwice, DecodeError::kNone, 3},
      {"data of 7 bytes", Riff({fmt, Chunk("data", Bytes(7, 1))}), DecodeError::kNone, 3},
      {"data of 1 byte", Riff({fmt, Chunk("data", Bytes(1, 1))}), DecodeError::kNone, 0},
      {"empty data", Riff({fmt, Chunk("data", {})}), DecodeError::kNone, 0},
      {"empty file", {}, DecodeError::kNotRiff, 0},
      {"RIFF only", riffOnly, DecodeError::kNotRiff, 0},
      {"RIFF and size only", riffSize, DecodeError::kNotWave, 0},
      {"no chunks", Riff({}), DecodeError::kNoFormat, 0},
      {"RIFX", [&] { Bytes b = Riff({fmt, data}); b[3] = 'X'; return b; }(), DecodeError::kNotRiff, 0},
      {"AVI form", Riff({fmt, data}, "AVI "), DecodeError::kNotWave, 0},
      {"fmt of 15", Riff({Chunk("fmt ", Bytes(15, 0)), data}), DecodeError::kFormatTooShort, 0},
      {"fmt cut", Riff({fmtCut}), DecodeError::kFormatCut, 0},
      {"no data", Riff({fmt}), DecodeError::kNoData, 0},
      {"no fmt", Riff({data}), DecodeError::kNoFormat, 0},
      {"extensible", Riff({Chunk("fmt ", FormatBody(0xFFFE)), data}), DecodeError::kUnsupported, 0},
      {"float", Riff({Chunk("fmt ", FormatBody(3, 1, 8000, 32)), data}), DecodeError::kUnsupported, 0},
      {"stereo", Riff({Chunk("fmt ", stereoFmt), data}), DecodeError::kUnsupported, 0},
      {"8-bit", Riff({Chunk("fmt ", FormatBody(1, 1, 8000, 8)), data}), DecodeError::kUnsupported, 0},
      {"7999 Hz", Riff({Chunk("fmt ", FormatBody(1, 1, 7999)), data}), DecodeError::kUnsupported, 0},
      {"44100 Hz", Riff({Chunk("fmt ", FormatBody(1, 1, 44100)), data}), DecodeError::kUnsupported, 0},
      {"data beyond the file", Riff({fmt, dataCut}), DecodeError::kTruncated, 0},
      {"data of 0xFFFFFFFF", Riff({fmt, Chunk("data", SampleBytes(kThree), 0xFFFFFFFF)}),
       DecodeError::kTruncated, 0},
      {"data one byte short", Riff({fmt, Chunk("data", Bytes(5, 1), 6)}), DecodeError::kTruncated, 0},
      {"data odd, last byte missing", Riff({fmt, Chunk("data", Bytes(6, 1), 7)}), DecodeError::kNone, 3},
  };
  for (const Case& c : cases) {
    const LoadResult r = Load(c.file);
    EXPECT_EQ(r.ok, c.error == DecodeError::kNone) << c.name;
    EXPECT_EQ(r.error, c.error) << c.name;
    if (r.ok) {
      EXPECT_EQ(r.count, c.count) << c.name;
    }
  }
}

TEST(LoadWavSamples, HostileChunkSizesEndTheWalkWithoutGoingBack) {
  const Bytes fmt = Chunk("fmt ", FormatBody());
  const Bytes data = Chunk("data", SampleBytes(kThree));
  for (const std::uint32_t size : {0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu, 0xFFFFFFF8u}) {
    struct Case {
      Bytes file;
      DecodeError error;
    };
    const Case cases[] = {
        // A huge unknown chunk is skipped past the end: the data after it is
        // never reached.
        {Riff({fmt, Chunk("junk", {}, size), data}), DecodeError::kNoData},
        {Riff({Chunk("fmt ", FormatBody(), size), data}), DecodeError::kNoData},
        {Riff({fmt, Chunk("data", SampleBytes(kThree), size)}), DecodeError::kTruncated},
        {Riff({Chunk("data", SampleBytes(kThree), size), fmt}), DecodeError::kNoFormat},
    };
    for (const Case& c : cases) EXPECT_EQ(Load(c.file).error, c.error) << std::hex << size;
  }
}

// Files from anywhere: each is refused for its own reason, or loads.
TEST(LoadWavSamples, HostileFilesTable) {
  const Bytes fmt = Chunk("fmt ", FormatBody());
  const Bytes data = Chunk("data", SampleBytes(kThree));
  struct Case {
    std::string name;
    Bytes file;
    DecodeError error;
  };
  std::vector<Case> cases = {
      {"fmt of 0", Riff({Chunk("fmt ", {}), data}), DecodeError::kFormatTooShort},
      {"fmt of 16", Riff({Chunk("fmt ", FormatBody()), data}), DecodeError::kNone},
      {"tag 0", Riff({Chunk("fmt ", FormatBody(0)), data}), DecodeError::kUnsupported},
      {"channels 0", Riff({Chunk("fmt ", FormatBody(1, 0)), data}), DecodeError::kUnsupported},
      {"rate 0", Riff({Chunk("fmt ", FormatBody(1, 1, 0)), data}), DecodeError::kUnsupported},
      {"rate 8001", Riff({Chunk("fmt ", FormatBody(1, 1, 8001)), data}), DecodeError::kUnsupported},
      {"rate max", Riff({Chunk("fmt ", FormatBody(1, 1, 0xFFFFFFFF)), data}), DecodeError::kUnsupported},
      {"bits 0", Riff({Chunk("fmt ", FormatBody(1, 1, 8000, 0)), data}), DecodeError::kUnsupported},
      {"bits 24", Riff({Chunk("fmt ", FormatBody(1, 1, 8000, 24)), data}), DecodeError::kUnsupported},
      {"bits 32", Riff({Chunk("fmt ", FormatBody(1, 1, 8000, 32)), data}), DecodeError::kUnsupported},
      {"all -32768", PcmWav(std::vector<std::int16_t>(1000, -32768)), DecodeError::kNone},
      {"single sample", PcmWav({77}), DecodeError::kNone},
  };
  // The file ends 1 to 7 bytes into a chunk header.
  for (std::size_t cut = 1; cut <= 7; ++cut) {
    Bytes file = Riff({fmt});
    file.insert(file.end(), data.begin(), data.begin() + static_cast<long>(cut));
    cases.push_back({"header cut at " + std::to_string(cut), file, DecodeError::kNoData});
  }
  // The fmt fields cut after each of 0 to 15 bytes.
  for (std::size_t cut = 0; cut < 16; ++cut) {
    Bytes file = Riff({fmt});
    file.resize(12 + 8 + cut);
    cases.push_back({"fmt cut at " + std::to_string(cut), file, DecodeError::kFormatCut});
  }
  // Hundreds of thousands of tiny chunks: skipped one by one, in linear time.
  Bytes tiny = Riff({fmt});
  for (int i = 0; i < 200000; ++i) {
    const Bytes c = Chunk("tiny", Bytes(static_cast<std::size_t>(i % 2), 'x'));
    tiny.insert(tiny.end(), c.begin(), c.end());
  }
  tiny.insert(tiny.end(), data.begin(), data.end());
  cases.push_back({"200000 tiny chunks", tiny, DecodeError::kNone});

  for (const Case& c : cases) EXPECT_EQ(Load(c.file).error, c.error) << c.name;
}

// Reads everything a reader opened on `entry` gives, or the reason it
// refused: the same for every entry, which share one walk.
struct Streamed {
  DecodeError error = DecodeError::kNone;
  std::vector<std::int16_t> samples;
  bool truncated = false;
};

template <typename OpenFn>
Streamed ReadAllFrom(OpenFn open) {
  WavReader reader;
  DecodeFailure why;
  Streamed out;
  if (!open(&reader, &why)) {
    out.error = why.error;
    return out;
  }
  std::int16_t block[5];  // small, so blocks end anywhere
  for (std::size_t n; (n = reader.Read(block, 5)) > 0;) out.samples.insert(out.samples.end(), block, block + n);
  out.truncated = reader.truncated();
  return out;
}

#if !defined(_WIN32)
// The bytes through a pipe, written by a thread so any size fits, and read
// through the descriptor entry or, with `asFile`, a FILE* on it.
Streamed ReadThroughPipe(const Bytes& bytes, bool asFile) {
  int fds[2];
  EXPECT_EQ(pipe(fds), 0);
  std::thread writer([&] {
    std::size_t at = 0;
    while (at < bytes.size()) {
      const ssize_t n = write(fds[1], bytes.data() + at, bytes.size() - at);
      if (n <= 0) break;
      at += static_cast<std::size_t>(n);
    }
    close(fds[1]);
  });
  std::FILE* stream = asFile ? fdopen(fds[0], "rb") : nullptr;
  Streamed out = ReadAllFrom([&](WavReader* r, DecodeFailure* why) {
    return asFile ? r->Open(stream, why) : r->OpenDescriptor(fds[0], why);
  });
  // Drain what the reader left, so the writer can finish.
  char sink[4096];
  while (read(fds[0], sink, sizeof sink) > 0) {
  }
  if (asFile) {
    std::fclose(stream);
  } else {
    close(fds[0]);
  }
  writer.join();
  return out;
}
#endif

// The bytes as a stream the caller reads, at most `most` bytes a call, so
// that calls split samples and chunk headers anywhere.
struct Trickle {
  const Bytes* bytes;
  std::size_t most;
  std::size_t at = 0;
  static std::size_t Read(void* context, unsigned char* out, std::size_t n, int* error) {
    auto* t = static_cast<Trickle*>(context);
    *error = 0;
    const std::size_t k = std::min({n, t->most, t->bytes->size() - t->at});
    std::copy(t->bytes->begin() + static_cast<std::ptrdiff_t>(t->at),
              t->bytes->begin() + static_cast<std::ptrdiff_t>(t->at + k), out);
    t->at += k;
    return k;
  }
};

TEST(WavReader, EveryEntryReadsTheSameSamplesBlockByBlock) {
  TempDir dir;
  const Bytes fmt = Chunk("fmt ", FormatBody());
  const std::vector<std::int16_t> many(20000, 1234);
  struct Case {
    std::string name;
    Bytes file;
    DecodeError error;       // from a file or memory
    DecodeError pipeError;   // from a pipe, which cannot go back
    bool pipeTruncated;      // a pipe reads what comes and says it was short
    std::vector<std::int16_t> pipeSamples;  // what a pipe reads, where it does
  };
  const Case cases[] = {
      {"plain", Riff({fmt, Chunk("data", SampleBytes(kThree))}), DecodeError::kNone, DecodeError::kNone, false,
       kThree},
      {"many samples", Riff({fmt, Chunk("data", SampleBytes(many))}), DecodeError::kNone, DecodeError::kNone,
       false, many},
      {"LIST first", Riff({Chunk("LIST", Bytes(9, 'x')), fmt, Chunk("data", SampleBytes(kThree))}),
       DecodeError::kNone, DecodeError::kNone, false, kThree},
      {"data before fmt", Riff({Chunk("data", SampleBytes(kThree)), fmt}), DecodeError::kNone,
       DecodeError::kDataBeforeFormat, false, {}},
      {"declared beyond the end", Riff({fmt, Chunk("data", SampleBytes(kThree), 0x1000)}),
       DecodeError::kTruncated, DecodeError::kNone, true, kThree},
      // What programs writing to a pipe put in the header: on a pipe the data
      // runs to the end; a file keeps the size it declares.
      {"sox's placeholder", Riff({fmt, Chunk("data", SampleBytes(kThree), 0x7FFFF000)}),
       DecodeError::kTruncated, DecodeError::kNone, false, kThree},
      {"placeholder 0xFFFFFFFF", Riff({fmt, Chunk("data", SampleBytes(kThree), 0xFFFFFFFF)}),
       DecodeError::kTruncated, DecodeError::kNone, false, kThree},
      {"placeholder 0", Riff({fmt, Chunk("data", SampleBytes(kThree), 0)}), DecodeError::kNone,
       DecodeError::kNone, false, kThree},
      {"just under the placeholders", Riff({fmt, Chunk("data", SampleBytes(kThree), 0x7FFFEFFE)}),
       DecodeError::kTruncated, DecodeError::kNone, true, kThree},
      {"stereo", Riff({Chunk("fmt ", FormatBody(1, 2)), Chunk("data", SampleBytes(kThree))}),
       DecodeError::kUnsupported, DecodeError::kUnsupported, false, {}},
  };
  for (const Case& c : cases) {
    const std::string path = dir.File("entry.wav");
    WriteBytes(path, c.file);
    const Streamed memory = ReadAllFrom([&](WavReader* r, DecodeFailure* why) {
      return r->Open(c.file.data(), c.file.size(), why);
    });
    const Streamed byPath = ReadAllFrom([&](WavReader* r, DecodeFailure* why) { return r->Open(path.c_str(), why); });
    std::FILE* file = std::fopen(path.c_str(), "rb");
    ASSERT_NE(file, nullptr);
    const Streamed byFile = ReadAllFrom([&](WavReader* r, DecodeFailure* why) { return r->Open(file, why); });
    std::fclose(file);
    for (const Streamed* s : {&memory, &byPath, &byFile}) {
      EXPECT_EQ(s->error, c.error) << c.name;
      EXPECT_FALSE(s->truncated) << c.name;
    }
    EXPECT_EQ(byPath.samples, memory.samples) << c.name;
    EXPECT_EQ(byFile.samples, memory.samples) << c.name;
    std::vector<Streamed> streams;
    for (std::size_t most : {1u, 3u, 4096u}) {
      Trickle trickle{&c.file, most};
      streams.push_back(ReadAllFrom([&](WavReader* r, DecodeFailure* why) { return r->Open(&Trickle::Read, &trickle, why); }));
    }
#if !defined(_WIN32)
    streams.push_back(ReadThroughPipe(c.file, false));
    streams.push_back(ReadThroughPipe(c.file, true));
#endif
    for (const Streamed& s : streams) EXPECT_EQ(s.error, c.pipeError) << c.name << " (stream)";
    if (c.pipeError == DecodeError::kNone) {
      for (const Streamed* s : {&streams[0], &streams[1], &streams[2]}) {
        EXPECT_EQ(s->truncated, c.pipeTruncated) << c.name;
        EXPECT_EQ(s->samples, c.pipeSamples) << c.name;
      }
    }
#if !defined(_WIN32)
    const Streamed& byDescriptor = streams[3];
    const Streamed& byPipe = streams[4];
    if (c.pipeError == DecodeError::kNone) {
      for (const Streamed* s : {&byDescriptor, &byPipe}) {
        EXPECT_EQ(s->truncated, c.pipeTruncated) << c.name;
        EXPECT_EQ(s->samples, c.pipeSamples) << c.name;
      }
    }
#endif
  }
}

TEST(WavReader, RewindsForAnotherPassWhereTheInputCanSeek) {
  const Bytes file = Riff({Chunk("fmt ", FormatBody()), Chunk("junk", Bytes(5, 'x')), Chunk("data", SampleBytes(kThree))});
  WavReader reader;
  ASSERT_TRUE(reader.Open(file.data(), file.size()));
  for (int pass = 0; pass < 3; ++pass) {
    std::int16_t out[8] = {};
    EXPECT_EQ(reader.Read(out, 8), 3u);
    EXPECT_EQ(std::vector<std::int16_t>(out, out + 3), kThree);
    EXPECT_EQ(reader.Read(out, 8), 0u);
    ASSERT_TRUE(reader.Rewind());
  }
#if !defined(_WIN32)
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  ASSERT_EQ(write(fds[1], file.data(), file.size()), static_cast<ssize_t>(file.size()));
  close(fds[1]);
  WavReader piped;
  ASSERT_TRUE(piped.OpenDescriptor(fds[0]));
  DecodeFailure why;
  EXPECT_FALSE(piped.Rewind(&why));
  EXPECT_EQ(why.error, DecodeError::kSeek);
  close(fds[0]);
#endif
}

// Run again under the sanitizers with allocations over 64 MB failing: a
// small input that declares gigabytes must be refused for what it is, never
// reach an allocation of its declared size.
TEST(WavReader, SmallInputsDeclaringGigabytesAllocateNothingOfThatSize) {
  const Bytes fmt = Chunk("fmt ", FormatBody());
  for (const std::uint32_t size : {0xFFFFFFF0u, 0x80000000u, 0x10000000u}) {
    const Bytes file = Riff({fmt, Chunk("data", SampleBytes(kThree), size)});
    EXPECT_EQ(Load(file).error, DecodeError::kTruncated) << std::hex << size;
#if !defined(_WIN32)
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(write(fds[1], file.data(), file.size()), static_cast<ssize_t>(file.size()));
    close(fds[1]);
    std::FILE* stream = fdopen(fds[0], "rb");
    std::unique_ptr<std::int16_t[]> samples;
    int rate = 0;
    std::size_t count = 0;
    DecodeFailure why;
    // From 0x7FFFF000 up a pipe's size is a placeholder: the data runs to
    // the end, here three samples.
    const bool placeholder = size >= 0x7FFFF000u;
    EXPECT_EQ(LoadWavSamples(stream, &samples, &rate, &count, &why), placeholder) << std::hex << size;
    EXPECT_EQ(why.error, placeholder ? DecodeError::kNone : DecodeError::kTruncated) << std::hex << size << " (pipe)";
    EXPECT_EQ(count, placeholder ? 3u : 0u);
    std::fclose(stream);
#endif
  }
}

TEST(LoadWavSamples, FilesThatCannotBeReadSayWhy) {
  TempDir dir;
  DecodeFailure why;
  std::unique_ptr<std::int16_t[]> samples;
  int rate = 0;
  std::size_t count = 0;
  EXPECT_FALSE(LoadWavSamples(dir.File("missing.wav").c_str(), &samples, &rate, &count, &why));
  EXPECT_EQ(why.error, DecodeError::kOpen);
  EXPECT_EQ(DescribeFailure(why), "cannot open: No such file or directory");
#if !defined(_WIN32)
  EXPECT_FALSE(LoadWavSamples(dir.path().c_str(), &samples, &rate, &count, &why));
  EXPECT_EQ(why.error, DecodeError::kRead);
  EXPECT_EQ(DescribeFailure(why), "cannot read: Is a directory");
  EXPECT_FALSE(LoadWavSamples("/dev/zero", &samples, &rate, &count, &why));
  EXPECT_EQ(why.error, DecodeError::kNotRiff);
#else
  EXPECT_FALSE(LoadWavSamples(dir.path().c_str(), &samples, &rate, &count, &why));
#endif
  EXPECT_EQ(samples, nullptr);
  EXPECT_EQ(count, 0u);
}

TEST(DescribeFailure, NamesWhatAnUnsupportedFileHolds) {
  struct Case {
    WavFormat format;
    std::string text;
  };
  const Case cases[] = {
      {{1, 2, 44100, 16}, "44100 Hz, 2 channels, 16-bit PCM; need 8000 Hz, mono, 16-bit PCM"},
      {{3, 1, 8000, 32}, "8000 Hz, 1 channel, 32-bit float; need 8000 Hz, mono, 16-bit PCM"},
      {{0xFFFE, 1, 8000, 16}, "8000 Hz, 1 channel, 16-bit extensible format; need 8000 Hz, mono, 16-bit PCM"},
      {{0x55, 1, 8000, 0}, "8000 Hz, 1 channel, 0-bit format 0x0055; need 8000 Hz, mono, 16-bit PCM"},
  };
  for (const Case& c : cases) {
    DecodeFailure why;
    why.error = DecodeError::kUnsupported;
    why.format = c.format;
    EXPECT_EQ(DescribeFailure(why), c.text);
  }
}

}  // namespace
}  // namespace tolvane
