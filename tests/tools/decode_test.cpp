// tolvane decode as a user runs it: a file and the same bytes through a
// pipe give the same text, a pipe's WAV size is only an upper bound, text
// comes out while the stream is still open, Ctrl-C prints what is pending,
// nothing found is exit 1, and standard output's failures are reported.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tolvane/tolvane.h"
#include "tools/recordings.h"

namespace tolvane::tool {
namespace {

using test::Bytes;
using test::ShellQuote;
using test::TempDir;

const char kText[] = "CQ DE TOLVANE 73";

using Result = test::CommandResult;

// A shell command with TOOL standing for the tool; its standard output and
// error, and the exit code of the command's last stage.
Result Shell(const TempDir& dir, std::string command) {
  const std::string tool = std::string(TOLVANE_TOOL_RUNNER) + " " + ShellQuote(TOLVANE_TOOL);
  for (std::size_t at; (at = command.find("TOOL")) != std::string::npos;) command.replace(at, 4, tool);
  const std::string full =
      "bash -c " + ShellQuote(command) + " >" + ShellQuote(dir.File("out")) + " 2>" + ShellQuote(dir.File("err"));
  const int status = std::system(full.c_str());
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, test::ReadText(dir.File("out")),
          test::ReadText(dir.File("err"))};
}

TEST(Decode, AFileAndTheSameBytesThroughAPipeGiveTheSameText) {
  TempDir dir;
  const std::vector<std::int16_t> keyed = Keyed(dir, kText);
  struct Case {
    std::string name;
    int rate;
    int channels;
    int format;
    std::string options;
  };
  const Case cases[] = {
      {"8k.wav", 8000, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16, ""},
      {"44k1-stereo-24bit.wav", 44100, 2, SF_FORMAT_WAV | SF_FORMAT_PCM_24, ""},
      {"48k-float.wav", 48000, 1, SF_FORMAT_WAV | SF_FORMAT_FLOAT, ""},
      {"22k05-8bit.wav", 22050, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_U8, ""},
      {"44k1.flac", 44100, 1, SF_FORMAT_FLAC | SF_FORMAT_PCM_16, ""},
      {"44k1.ogg", 44100, 1, SF_FORMAT_OGG | SF_FORMAT_VORBIS, ""},
      {"48k.opus", 48000, 1, SF_FORMAT_OGG | SF_FORMAT_OPUS, ""},
      {"44k1.aiff", 44100, 2, SF_FORMAT_AIFF | SF_FORMAT_PCM_16, ""},
      {"44k1.w64", 44100, 1, SF_FORMAT_W64 | SF_FORMAT_PCM_16, ""},
      {"44k1.caf", 44100, 1, SF_FORMAT_CAF | SF_FORMAT_PCM_16, ""},
      {"16k.au", 16000, 1, SF_FORMAT_AU | SF_FORMAT_PCM_16, ""},
      {"22k05.mp3", 22050, 1, SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, ""},
      {"11k025.raw", 11025, 1, SF_FORMAT_RAW | SF_FORMAT_PCM_16, "--raw 11025"},
      {"48k.f32", 48000, 1, SF_FORMAT_RAW | SF_FORMAT_FLOAT, "--raw 48000 --raw-format f32"},
      {"8k.u8", 8000, 1, SF_FORMAT_RAW | SF_FORMAT_PCM_U8, "--raw 8000 --raw-format u8"},
  };
  for (const Case& c : cases) {
    const std::string path = dir.File(c.name);
    Write(path, keyed, c.rate, c.channels, c.format);
    const std::string file = "TOOL decode " + c.options + " " + ShellQuote(path);
    const std::string pipe = "cat " + ShellQuote(path) + " | TOOL decode " + c.options + " -";
    // A pipe that gives a few bytes a read: no reader may need a full block.
    const std::string trickle = "dd if=" + ShellQuote(path) + " bs=7 status=none iflag=fullblock | "
                                "dd bs=7 status=none oflag=sync | TOOL decode " + c.options + " -";
    for (const std::string& command : {file, pipe, trickle}) {
      const Result r = Shell(dir, command);
      EXPECT_EQ(r.exitCode, 0) << command << ": " << r.err;
      EXPECT_EQ(r.out, std::string(kText) + "\n") << command;
      EXPECT_EQ(r.err, "") << command;
    }
  }
}

// Where a RIFF WAV's data chunk declares its size.
std::size_t DataSizeAt(const Bytes& wav) {
  for (std::size_t at = 12; at + 8 <= wav.size();) {
    const std::uint32_t size = std::uint32_t{wav[at + 4]} | std::uint32_t{wav[at + 5]} << 8 | std::uint32_t{wav[at + 6]} << 16 |
                               std::uint32_t{wav[at + 7]} << 24;
    if (std::memcmp(&wav[at], "data", 4) == 0) return at + 4;
    at += 8 + size;
  }
  return 0;
}

TEST(Decode, APipesWavSizeIsAnUpperBoundReadToTheEnd) {
  TempDir dir;
  const std::vector<std::int16_t> keyed = Keyed(dir, kText);
  Write(dir.File("44k1.wav"), keyed, 44100, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
  Write(dir.File("22k05-u8-stereo.wav"), keyed, 22050, 2, SF_FORMAT_WAV | SF_FORMAT_PCM_U8);
  Write(dir.File("48k-float.wav"), keyed, 48000, 1, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
  Write(dir.File("16k-24bit.wav"), keyed, 16000, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_24);
  // What writers to a pipe leave there: 0, 0xFFFFFFFF, and sox's 0x7FFFF000.
  for (const std::uint32_t size : {0u, 0xFFFFFFFFu, 0x7FFFF000u}) {
    for (const char* name : {"keyed8k.wav", "44k1.wav", "22k05-u8-stereo.wav", "48k-float.wav", "16k-24bit.wav"}) {
      Bytes wav = test::ReadBytes(dir.File(name));
      const std::size_t at = DataSizeAt(wav);
      ASSERT_NE(at, 0u) << name;
      for (int i = 0; i < 4; ++i) wav[at + static_cast<std::size_t>(i)] = static_cast<unsigned char>(size >> (8 * i));
      test::WriteBytes(dir.File("sized.wav"), wav);
      for (const char* options : {"", "--basic"}) {
        const std::string command = "cat " + ShellQuote(dir.File("sized.wav")) + " | TOOL decode " + options + " -";
        const Result r = Shell(dir, command);
        EXPECT_EQ(r.exitCode, 0) << name << " " << size << " " << options << ": " << r.err;
        EXPECT_EQ(r.out, std::string(kText) + "\n") << name << " " << size << " " << options;
      }
      // As a file the size is a promise: more than the file holds is a cut.
      if (size != 0) {
        const Result r = Shell(dir, "TOOL decode " + ShellQuote(dir.File("sized.wav")));
        EXPECT_EQ(r.exitCode, 1) << name << " " << size;
        EXPECT_NE(r.err.find("truncated"), std::string::npos) << name << " " << size << ": " << r.err;
      }
    }
  }
}

// Headerless 16-bit samples of `seconds` at 8000 Hz from `sample(i)`.
template <typename F>
void WriteRaw(const std::string& path, double seconds, F sample) {
  Bytes bytes;
  const auto n = static_cast<std::size_t>(seconds * 8000);
  for (std::size_t i = 0; i < n; ++i) {
    test::PutU16(&bytes, static_cast<std::uint16_t>(static_cast<std::int16_t>(sample(i))));
  }
  test::WriteBytes(path, bytes);
}

// A flat JSON object, {"key":value,...}, as its keys in order and their
// values as written (strings unquoted, their escapes left); false when the
// line is no such object.
bool Fields(const std::string& line, std::vector<std::pair<std::string, std::string>>* out) {
  out->clear();
  if (line.size() < 2 || line.front() != '{' || line.back() != '}') return false;
  std::size_t at = 1;
  const auto quoted = [&](std::string* text) {
    if (at >= line.size() || line[at] != '"') return false;
    const std::size_t start = ++at;
    while (at < line.size() && line[at] != '"') at += line[at] == '\\' ? 2 : 1;
    if (at >= line.size()) return false;
    *text = line.substr(start, at++ - start);
    return true;
  };
  while (at < line.size() - 1) {
    std::string key;
    std::string value;
    if (!quoted(&key) || at >= line.size() || line[at++] != ':') return false;
    if (line[at] == '"') {
      if (!quoted(&value)) return false;
    } else {
      const std::size_t end = line.find_first_of(",}", at);
      value = line.substr(at, end - at);
      char* stop = nullptr;
      std::strtod(value.c_str(), &stop);
      if (value.empty() || *stop != 0) return false;
      at = end;
    }
    out->emplace_back(key, value);
    if (line[at] == ',') ++at;
    else if (at != line.size() - 1) return false;
  }
  return true;
}

// The keys of `fields`, in order, joined by commas.
std::string Keys(const std::vector<std::pair<std::string, std::string>>& fields) {
  std::string keys;
  for (const auto& f : fields) keys += (keys.empty() ? "" : ",") + f.first;
  return keys;
}

TEST(Decode, NoMorseCodeIsExitOneWithOneLine) {
  TempDir dir;
  std::uint32_t seed = 12345;
  const auto noise = [&](std::size_t) {
    seed = seed * 1664525u + 1013904223u;
    return static_cast<int>(seed >> 20) - 2048;
  };
  WriteRaw(dir.File("noise.raw"), 60, noise);
  WriteRaw(dir.File("carrier.raw"), 30, [](std::size_t i) { return 8000 * std::sin(static_cast<double>(i) * 2 * M_PI * 700 / 8000); });
  WriteRaw(dir.File("silence.raw"), 10, [](std::size_t) { return 0; });
  WriteRaw(dir.File("empty.raw"), 0, [](std::size_t) { return 0; });
  for (const char* name : {"noise.raw", "carrier.raw", "silence.raw", "empty.raw"}) {
    for (const char* options : {"", "--json", "--timestamps"}) {
      const Result r = Shell(dir, std::string("TOOL decode --raw 8000 ") + options + " - < " + ShellQuote(dir.File(name)));
      EXPECT_EQ(r.exitCode, 1) << name << " " << options;
      const std::string expected = "tolvane: standard input: no Morse code found";
      EXPECT_EQ(r.err.substr(0, expected.size()), expected) << name << " " << options;
      EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
      // JSON still opens and closes its stream, with nothing between.
      if (std::string(options) == "--json") {
        const std::size_t cut = r.out.find('\n');
        std::vector<std::pair<std::string, std::string>> end;
        EXPECT_EQ(r.out.substr(0, cut + 1), "{\"type\":\"start\",\"version\":1,\"rate\":8000}\n");
        ASSERT_NE(cut, std::string::npos) << r.out;
        EXPECT_TRUE(Fields(r.out.substr(cut + 1, r.out.size() - cut - 2), &end)) << r.out;
        EXPECT_EQ(Keys(end), "type,time,chars") << r.out;
        EXPECT_EQ(r.out.substr(r.out.size() - 12), ",\"chars\":0}\n") << r.out;
      } else {
        EXPECT_EQ(r.out, "") << name << " " << options;
      }
    }
  }
}

TEST(Decode, JsonLinesFollowTheSchemaAndSpellTheText) {
  TempDir dir;
  ASSERT_TRUE(KeyTextToWav(kText, dir.File("cq.wav").c_str(), 60));
  const Result plain = Shell(dir, "TOOL decode " + ShellQuote(dir.File("cq.wav")));
  const Result json = Shell(dir, "TOOL decode --json " + ShellQuote(dir.File("cq.wav")));
  ASSERT_EQ(json.exitCode, 0) << json.err;
  std::vector<std::string> lines;
  for (std::size_t at = 0, next; (next = json.out.find('\n', at)) != std::string::npos; at = next + 1) {
    lines.push_back(json.out.substr(at, next - at));
  }
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines.front(), "{\"type\":\"start\",\"version\":1,\"rate\":8000}");
  std::vector<std::pair<std::string, std::string>> f;
  std::string text;
  std::size_t characters = 0;
  double last = 0;
  for (std::size_t i = 1; i + 1 < lines.size(); ++i) {
    ASSERT_TRUE(Fields(lines[i], &f)) << lines[i];
    if (Keys(f) == "type,signal,time,text,code,confidence,freq,wpm,snr_db") {
      EXPECT_EQ(f[3].second.size(), 1u) << lines[i];
      EXPECT_EQ(f[4].second.find_first_not_of(".-"), std::string::npos) << lines[i];
      const double confidence = std::stod(f[5].second);
      EXPECT_TRUE(confidence >= 0 && confidence <= 1) << lines[i];
      EXPECT_NEAR(std::stod(f[6].second), 600, 5) << lines[i];
      EXPECT_NEAR(std::stod(f[7].second), 20, 2) << lines[i];
      text += f[3].second;
      ++characters;
    } else {
      ASSERT_EQ(Keys(f), "type,signal,time,text") << lines[i];
      EXPECT_EQ(f[3].second, " ") << lines[i];
      text += ' ';
    }
    EXPECT_EQ(f[0].second, "text");
    EXPECT_EQ(f[1].second, "0");
    // Audio time never goes back: nothing printed is retracted.
    EXPECT_GE(std::stod(f[2].second) + 1e-9, last) << lines[i];
    last = std::stod(f[2].second);
  }
  ASSERT_TRUE(Fields(lines.back(), &f)) << lines.back();
  ASSERT_EQ(Keys(f), "type,time,chars") << lines.back();
  EXPECT_EQ(f[0].second, "end");
  EXPECT_EQ(std::stoul(f[2].second), characters);
  EXPECT_GE(std::stod(f[1].second), last);
  EXPECT_EQ(text + "\n", plain.out);
}

TEST(Decode, BasicPrintsWhatWave2MorseReturns) {
  TempDir dir;
  const std::string texts[] = {"CQ CQ DE W1AW K", "PARIS 73", "E"};
  for (int unit = 5; unit <= 200; unit += 3) {
    const std::string& text = texts[static_cast<std::size_t>(unit) % 3];
    const std::string path = dir.File("k.wav");
    ASSERT_TRUE(KeyTextToWav(text, path.c_str(), unit));
    const std::wstring wide(path.begin(), path.end());
    const wchar_t* theirs = Wave2Morse(wide.c_str());
    ASSERT_NE(theirs, nullptr);
    std::string expected;
    for (const wchar_t* c = theirs; *c != 0; ++c) expected += static_cast<char>(*c);
    const Result r = Shell(dir, "TOOL decode --basic " + ShellQuote(path));
    if (r.exitCode == 0) {
      EXPECT_EQ(r.out, expected + "\n") << unit << " ms";
    } else {
      EXPECT_EQ(expected.front(), '<') << unit << " ms: the tool fails where Wave2Morse reads " << expected;
    }
  }
}

// The tool reading a pipe the test writes to, for what it prints before
// the pipe closes.
class Live {
 public:
  explicit Live(const std::vector<std::string>& args) {
    int in[2];
    int out[2];
    EXPECT_EQ(pipe(in), 0);
    EXPECT_EQ(pipe(out), 0);
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      close(in[0]), close(in[1]), close(out[0]), close(out[1]);
      std::vector<char*> argv{const_cast<char*>(TOLVANE_TOOL)};
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execv(TOLVANE_TOOL, argv.data());
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    in_ = in[1];
    out_ = out[0];
  }
  ~Live() {
    if (in_ >= 0) close(in_);
    close(out_);
    if (pid_ > 0) Wait();
  }
  void Send(const Bytes& bytes) {
    for (std::size_t done = 0; done < bytes.size();) {
      const ssize_t n = write(in_, bytes.data() + done, bytes.size() - done);
      ASSERT_GT(n, 0);
      done += static_cast<std::size_t>(n);
    }
  }
  // Output until it holds `want` or `seconds` pass.
  std::string ReadUntil(const std::string& want, double seconds) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (got_.find(want) == std::string::npos && std::chrono::steady_clock::now() < until) {
      pollfd p{out_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      char buffer[256];
      const ssize_t n = read(out_, buffer, sizeof buffer);
      if (n <= 0) break;
      got_.append(buffer, static_cast<std::size_t>(n));
    }
    return got_;
  }
  void Close() {
    close(in_);
    in_ = -1;
  }
  void Signal(int number) { kill(pid_, number); }
  int Wait() {
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

 private:
  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  std::string got_;
};

Bytes RawSamples(const std::vector<std::int16_t>& samples) {
  Bytes bytes;
  for (std::int16_t v : samples) test::PutU16(&bytes, static_cast<std::uint16_t>(v));
  return bytes;
}

// Live runs the tool directly, not through a cross build's emulator.
bool Emulated() { return std::string(TOLVANE_TOOL_RUNNER).find_first_not_of(' ') != std::string::npos; }

TEST(Decode, TextComesOutWhileTheStreamIsStillOpen) {
  if (Emulated()) GTEST_SKIP() << "the tool runs under an emulator";
  TempDir dir;
  std::vector<std::int16_t> keyed = Keyed(dir, "SOS SOS");
  keyed.resize(keyed.size() + 3 * 8000, 0);  // three seconds of quiet after
  Live tool({"decode", "--raw", "8000", "-"});
  tool.Send(RawSamples(keyed));
  // The stream stays open: the text must not wait for its end.
  EXPECT_EQ(tool.ReadUntil("SOS SOS", 10), "SOS SOS");
  tool.Close();
  EXPECT_EQ(tool.ReadUntil("\n", 10), "SOS SOS\n");
  EXPECT_EQ(tool.Wait(), 0);
}

TEST(Decode, CtrlCPrintsWhatIsPendingThenStops) {
  if (Emulated()) GTEST_SKIP() << "the tool runs under an emulator";
  TempDir dir;
  std::vector<std::int16_t> keyed = Keyed(dir, "PARIS");
  keyed.resize(keyed.size() + 800, 0);  // 0.1 s: the last S is not yet decided
  Live tool({"decode", "--raw", "8000", "-"});
  tool.Send(RawSamples(keyed));
  const std::string before = tool.ReadUntil("PARIS", 2);
  EXPECT_NE(before, "PARIS") << "the last letter came before its look-ahead passed";
  tool.Signal(SIGINT);
  EXPECT_EQ(tool.ReadUntil("\n", 10), "PARIS\n");
  EXPECT_EQ(tool.Wait(), 130);
}

TEST(Decode, StandardOutputFailuresAreReportedAndAClosedPipeIsQuiet) {
  TempDir dir;
  ASSERT_TRUE(KeyTextToWav(std::string(200, 'E'), dir.File("long.wav").c_str(), 20));
  const std::string wav = ShellQuote(dir.File("long.wav"));
  test::WriteBytes(dir.File("long.raw"), RawSamples(test::SamplesAfterHeader(test::ReadBytes(dir.File("long.wav")))));
  const std::string raw = ShellQuote(dir.File("long.raw"));
  const struct {
    std::string command;
    int exitCode;
    std::string err;
  } cases[] = {
      {"TOOL decode " + wav + " >/dev/full", 1, "tolvane: standard output: No space left on device\n"},
      {"TOOL decode --json " + wav + " >/dev/full", 1, "tolvane: standard output: No space left on device\n"},
      {"TOOL decode --basic " + wav + " >/dev/full", 1, "tolvane: standard output: No space left on device\n"},
      {"TOOL --help >/dev/full", 1, "tolvane: standard output: No space left on device\n"},
      {"TOOL --version >/dev/full", 1, "tolvane: standard output: No space left on device\n"},
      // head leaves after one byte; the tool's writes after the pause find
      // no reader.
      {"(cat " + raw + "; sleep 1; cat " + raw + ") | TOOL decode --raw 8000 - | head -c 1 >/dev/null; "
       "exit ${PIPESTATUS[1]}", 0, ""},
      {"(cat " + raw + "; sleep 1; cat " + raw + ") | TOOL decode --json --raw 8000 - | head -c 1 >/dev/null; "
       "exit ${PIPESTATUS[1]}", 0, ""},
  };
  for (const auto& c : cases) {
    const Result r = Shell(dir, c.command);
    EXPECT_EQ(r.exitCode, c.exitCode) << c.command << ": " << r.err;
    EXPECT_EQ(r.err, c.err) << c.command;
  }
}


// What the encoder keys in an extended alphabet reads back in it; without
// --charset its codes are named as the prosigns they are, not revised
// into real letters.
TEST(Decode, ReadsTheCharsetTheEncoderKeyed) {
  TempDir dir;
  struct Case {
    const char* keyed;
    const char* charset;
    const char* want;
  };
  const Case cases[] = {
      {"ÄÖÜ TEST", "latin", "ÄÖÜ TEST\n"},
      {"ÄÖÜ TEST", nullptr, "<AA><OE><UT> TEST\n"},
      {"ПРИВЕТ МИР", "cyrillic", "ПРИВЕТ МИР\n"},
  };
  for (const Case& c : cases) {
    const std::string charset = c.charset ? std::string(" --charset ") + c.charset : "";
    ASSERT_EQ(Shell(dir, "TOOL encode --charset " + std::string(c.charset ? c.charset : "latin") + " " +
                             ShellQuote(c.keyed) + " " + ShellQuote(dir.File("k.wav")))
                  .exitCode,
              0);
    const Result r = Shell(dir, "TOOL decode" + charset + " " + ShellQuote(dir.File("k.wav")));
    EXPECT_EQ(r.exitCode, 0) << c.keyed << ": " << r.err;
    EXPECT_EQ(r.out, c.want) << c.keyed << charset;
  }
  EXPECT_EQ(Shell(dir, "TOOL decode --charset klingon " + ShellQuote(dir.File("k.wav"))).exitCode, 2);
}

}  // namespace
}  // namespace tolvane::tool
