// Runs the tolvane tool as a user would and checks exit codes, messages and
// the files it writes.
#include <sys/wait.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "keyer/keyer.h"
#include "support/test_support.h"
#include "support/wav_bytes.h"

namespace tolvane {
namespace {

using test::ReadBytes;
using test::ShellQuote;
using test::ReadText;
using test::TempDir;

// Whether the tool reads other formats through libsndfile.
#if defined(TOLVANE_WITH_SNDFILE)
constexpr bool kSndfile = true;
#else
constexpr bool kSndfile = false;
#endif

using Result = test::CommandResult;

Result RunTool(const TempDir& dir, const std::vector<std::string>& args, const std::string& input = "") {
  test::WriteBytes(dir.File("stdin"), std::vector<unsigned char>(input.begin(), input.end()));
  std::string command = std::string(TOLVANE_TOOL_RUNNER) + " " + ShellQuote(TOLVANE_TOOL);
  for (const std::string& arg : args) command += " " + ShellQuote(arg);
  command += " <" + ShellQuote(dir.File("stdin")) + " >" + ShellQuote(dir.File("stdout")) + " 2>" +
             ShellQuote(dir.File("stderr"));
  const int status = std::system(command.c_str());
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadText(dir.File("stdout")),
          ReadText(dir.File("stderr"))};
}

TEST(Cli, ExitCodesAndMessages) {
  TempDir dir;
  struct Case {
    std::vector<std::string> args;
    int exitCode;
    std::string inOut;  // expected in standard output
    std::string inErr;  // expected in standard error
  };
  const std::string missing = dir.File("missing/out.wav");
  const Case cases[] = {
      {{"--version"}, 0, "1.0.0.1", ""},
      {{"--help"}, 0, "tolvane encode", ""},
      {{"--help"}, 0, "tolvane decode [OPTIONS] INPUT|-", ""},
      {{"--help"}, 0, "--raw-format F", ""},
      {{"--help"}, 0, "--max-duration SECONDS", ""},
      {{"--help"}, 0, "--json ", ""},
      {{"--help"}, 0, "--band LO-HI", ""},
      {{"--help"}, 0, kSndfile ? "FLAC" : "reads 8000 Hz 16-bit mono PCM WAV only", ""},
      // A command's help comes before any other check, on standard output.
      {{"encode", "--help"}, 0, "tolvane encode [OPTIONS] TEXT|- OUTPUT", ""},
      {{"encode", "-h"}, 0, "--farnsworth N", ""},
      {{"encode", "--wpm", "999", "SOS", "--help"}, 0, "--word-gap U", ""},
      {{"decode", "--help"}, 0, "tolvane decode [OPTIONS] INPUT|-", ""},
      {{"decode", "-h"}, 0, "--max-duration SECONDS", ""},
      {{"skim", "--help"}, 0, "tolvane skim [OPTIONS] INPUT|-", ""},
      {{"skim", "-h"}, 0, "--spotter CALL", ""},
      {{"encode", "--", "-h", "-"}, 0, "RIFF", ""},  // after "--", text to key
      {{"frobnicate", "--help"}, 2, "", "unknown command"},
      {{}, 2, "", "usage:"},
      {{"frobnicate"}, 2, "", "unknown command"},
      {{"encode", "SOS"}, 2, "", "usage:"},
      {{"encode", "--unit-ms", "4", "SOS", dir.File("a.wav")}, 2, "", "5 to 200"},
      {{"encode", "--unit-ms", "201", "SOS", dir.File("a.wav")}, 2, "", "5 to 200"},
      {{"encode", "--unit-ms", "6.5", "SOS", dir.File("a.wav")}, 2, "", "5 to 200"},
      {{"encode", "--wpm", "5", "SOS", dir.File("a.wav")}, 2, "", "6 to 240"},
      {{"encode", "--wpm", "x", "SOS", dir.File("a.wav")}, 2, "", "6 to 240, not 'x'"},
      // Plain decimals inside the stated range only.
      {{"encode", "--wpm", "241", "SOS", dir.File("a.wav")}, 2, "", "6 to 240"},
      {{"encode", "--wpm", "243", "SOS", dir.File("a.wav")}, 2, "", "6 to 240"},
      {{"encode", "--wpm", "0x14", "SOS", dir.File("a.wav")}, 2, "", "6 to 240"},
      {{"encode", "--wpm", "1e1", "SOS", dir.File("a.wav")}, 2, "", "6 to 240"},
      {{"encode", "--wpm", " 20", "SOS", dir.File("a.wav")}, 2, "", "6 to 240"},
      {{"encode", "--wpm", "inf", "SOS", dir.File("a.wav")}, 2, "", "6 to 240"},
      {{"encode", "--wpm", "", "SOS", dir.File("a.wav")}, 2, "", "6 to 240"},
      {{"encode", "--wpm=7.5", "SOS", dir.File("a.wav")}, 0, "", ""},
      {{"encode", "--unit-ms=60", "SOS", dir.File("a.wav")}, 0, "", ""},
      {{"encode", "--wpm"}, 2, "", "--wpm needs a value"},
      {{"decode", "--explain=yes", "a.wav"}, 2, "", "--explain takes no value"},
      {{"decode", "--explain", "--explain", "a.wav"}, 2, "", "give --explain once"},
      {{"decode", "--basic", "--robust", "a.wav"}, 2, "", "give one of --basic and --robust"},
      {{"decode", "--raw", "999", "a.raw"}, 2, "", "--raw takes a whole number from 1000 to 100000000"},
      {{"decode", "--raw", "8000.5", "a.raw"}, 2, "", "--raw takes a whole number"},
      {{"decode", "--raw-format", "u8", "a.raw"}, 2, "", "--raw-format needs --raw RATE"},
      {{"decode", "--raw", "8000", "--raw-format", "s24", "a.raw"}, 2, "", "--raw-format takes s16, u8 or f32, not 's24'"},
      {{"decode", "--max-duration", "0", "a.wav"}, 2, "", "--max-duration takes a number from 0.001 to 1000000000"},
      {{"decode", "--max-duration", "-5", "a.wav"}, 2, "", "--max-duration takes a number"},
      {{"encode", "--wpm", "20", "--unit-ms", "60", "SOS", dir.File("a.wav")}, 2, "", "once"},
      {{"encode", "--bogus", "SOS", dir.File("a.wav")}, 2, "", "unknown option"},
      {{"encode", "SOS", missing}, 1, "", missing + ": cannot create the file: No such file or directory"},
      {{"encode", "SOS", "/dev/full"}, 1, "", "/dev/full: write failed: No space left on device"},
      {{"encode", "", "/dev/full"}, 1, "", "/dev/full: write failed: No space left"},
      {{"encode", "SOS", dir.path()}, 1, "", "cannot create the file: Is a directory"},
      {{"encode", "SOS", dir.File("ok.wav")}, 0, "", ""},
  };
  for (const Case& c : cases) {
    const Result r = RunTool(dir, c.args);
    std::string shown;
    for (const std::string& a : c.args) shown += a + " ";
    EXPECT_EQ(r.exitCode, c.exitCode) << shown << r.err;
    EXPECT_NE(r.out.find(c.inOut), std::string::npos) << shown << r.out;
    EXPECT_NE(r.err.find(c.inErr), std::string::npos) << shown << r.err;
    if (c.exitCode == 0) {
      EXPECT_EQ(r.err, "") << shown;
    }
  }
}

TEST(Cli, DecodesStandardInputAndPipes) {
  TempDir dir;
  ASSERT_TRUE(KeyTextToWav("SOS", dir.File("sos.wav").c_str(), 60));
  const test::Bytes sos = test::ReadBytes(dir.File("sos.wav"));
  // A program writing WAV to a pipe cannot go back to fix the sizes, so the
  // header claims far more than follows.
  test::Bytes piped = sos;
  for (std::size_t offset : {4u, 40u}) {
    piped[offset] = 0x00;
    piped[offset + 1] = 0xF0;
    piped[offset + 2] = 0xFF;
    piped[offset + 3] = 0x7F;
  }
  struct Case {
    std::string command;  // run by bash; TOOL and DIR are replaced
    int exitCode;
    std::string out;
    std::string inErr = "";  // expected in standard error
  };
  // Headerless: SOS at a twentieth of full scale for eleven minutes, then
  // once at full scale. The basic recogniser must look at the start again
  // once it has heard the loud one: a file can, a stream only for the first
  // ten minutes it keeps.
  const std::vector<std::int16_t> keyed = test::SamplesAfterHeader(sos);
  test::Bytes quiet;
  test::Bytes loud;
  for (std::int16_t v : keyed) {
    test::PutU16(&quiet, static_cast<std::uint16_t>(v / 20));
    test::PutU16(&loud, static_cast<std::uint16_t>(v));
  }
  {
    std::ofstream raw(dir.File("long.raw"), std::ios::binary);
    const test::Bytes gap(16000, 0);
    for (int i = 0; i < 11 * 60 * 8000 / 19200; ++i) {
      raw.write(reinterpret_cast<const char*>(quiet.data()), static_cast<std::streamsize>(quiet.size()));
      raw.write(reinterpret_cast<const char*>(gap.data()), static_cast<std::streamsize>(gap.size()));
    }
    raw.write(reinterpret_cast<const char*>(loud.data()), static_cast<std::streamsize>(loud.size()));
  }
  test::WriteBytes(dir.File("sos.raw"), loud);
  test::Bytes noSize = sos;  // written to a pipe by a program that leaves the size 0
  noSize[40] = noSize[41] = noSize[42] = noSize[43] = 0;
  test::WriteBytes(dir.File("nosize.wav"), noSize);
  const Case cases[] = {
      {"TOOL decode - < DIR/sos.wav", 0, "SOS\n"},
      {"cat DIR/nosize.wav | TOOL decode -", 0, "SOS\n"},
      {"TOOL decode DIR/nosize.wav", 1, ""},
      {"cat DIR/sos.raw | TOOL decode --raw 8000 -", 0, "SOS\n"},
      // 1.2 s: the O has ended, the last S not begun.
      {"cat DIR/sos.raw | TOOL decode --raw 8000 --raw-format s16 --max-duration 1.2 -", 0, "SO\n"},
      // Under the loud SOS's threshold the quiet ones are silence.
      {"TOOL decode --basic --raw 8000 DIR/long.raw", 0, " SOS\n"},
      {"cat DIR/long.raw | TOOL decode --basic --raw 8000 -", 1, "", "keeps only its first 10 minutes"},
      {"cat DIR/long.raw | TOOL decode --basic --raw 8000 --max-duration 600 - | cut -c 1-11", 0, "SOS SOS SOS\n"},
      // The robust recogniser reads every SOS of the same stream as it comes.
      {"cat DIR/long.raw | TOOL decode --raw 8000 - | cut -c 1-11", 0, "SOS SOS SOS\n"},
      {"cat DIR/sos.wav | TOOL decode -", 0, "SOS\n"},
      // The library's reader takes a pipe's placeholder size as "to the end".
      {"cat DIR/piped.wav | TOOL decode -", 0, "SOS\n"},
      {"TOOL decode <(cat DIR/sos.wav)", 0, "SOS\n"},
      {"TOOL decode - < /dev/null", 1, ""},
      // On disk, the same file keeps the verdict Wave2Morse gives it.
      {"TOOL decode DIR/piped.wav", 1, ""},
  };
  test::WriteBytes(dir.File("piped.wav"), piped);
  for (const Case& c : cases) {
    std::string command = c.command;
    const std::string tool = std::string(TOLVANE_TOOL_RUNNER) + " " + ShellQuote(TOLVANE_TOOL);
    for (std::size_t at; (at = command.find("TOOL")) != std::string::npos;) {
      command.replace(at, 4, tool);
    }
    for (std::size_t at; (at = command.find("DIR")) != std::string::npos;) {
      command.replace(at, 3, ShellQuote(dir.path()));
    }
    const std::string full = "bash -c " + ShellQuote(command) + " >" + ShellQuote(dir.File("out")) + " 2>" +
                             ShellQuote(dir.File("err"));
    const int status = std::system(full.c_str());
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, c.exitCode)
        << c.command << ": " << ReadText(dir.File("err"));
    EXPECT_EQ(ReadText(dir.File("out")), c.out) << c.command;
    EXPECT_NE(ReadText(dir.File("err")).find(c.inErr), std::string::npos) << c.command << ": " << ReadText(dir.File("err"));
  }
}

// Hostile files kept under tests/data/hostile, given as a path, on standard
// input and through a FIFO: each arrival must end in an exit code and never
// in a signal.
TEST(Cli, HostileFilesEndInAnExitCodeHoweverTheyArrive) {
  if (!kSndfile) GTEST_SKIP() << "this build reads only WAV";
  TempDir dir;
  const std::string data = TOLVANE_DATA_DIR "/hostile/";
  // A Wave64 file whose data chunk declares 0x7FFFFFFFFFFFFFF0 bytes: the
  // in-memory reader once added that to its position and read far outside.
  const std::string w64 = data + "w64-huge-data-size.w64";
  const std::string commands[] = {
      "TOOL decode FILE",
      "TOOL decode - < FILE",
      "mkfifo DIR/fifo && { cat FILE > DIR/fifo & TOOL decode DIR/fifo; }",
  };
  for (const std::string& pattern : commands) {
    std::string command = pattern;
    const std::string tool = std::string(TOLVANE_TOOL_RUNNER) + " " + ShellQuote(TOLVANE_TOOL);
    for (const auto& [key, value] : {std::pair<std::string, std::string>{"TOOL", tool},
                                     {"FILE", ShellQuote(w64)}, {"DIR", ShellQuote(dir.path())}}) {
      for (std::size_t at; (at = command.find(key)) != std::string::npos;) command.replace(at, key.size(), value);
    }
    std::remove(dir.File("fifo").c_str());
    const int status = std::system(("bash -c " + ShellQuote(command) + " >/dev/null 2>&1").c_str());
    ASSERT_TRUE(WIFEXITED(status)) << pattern;
    const int code = WEXITSTATUS(status);
    EXPECT_TRUE(code == 0 || code == 1) << pattern << " exited " << code;
  }
}

TEST(Cli, EncodeWritesWhatTheLibraryKeys) {
  TempDir dir;
  const std::string longText(500, 'E');  // no 199-byte limit in the tool
  struct Case {
    std::vector<std::string> args;
    std::string input;
    std::string text;
    int unitMs;
  };
  const Case cases[] = {
      {{"encode", "Hello World", dir.File("t.wav")}, "", "HELLO WORLD", 60},
      {{"encode", "--unit-ms", "20", "73", dir.File("t.wav")}, "", "73", 20},
      {{"encode", "--wpm", "20", "PARIS", dir.File("t.wav")}, "", "PARIS", 60},
      {{"encode", "--wpm", "24", "PARIS", dir.File("t.wav")}, "", "PARIS", 50},
      {{"encode", "-", dir.File("t.wav")}, "cq cq de\n", "CQ CQ DE", 60},
      {{"encode", longText, dir.File("t.wav")}, "", longText, 60},
      {{"encode", "--", "-E-", dir.File("t.wav")}, "", "-E-", 60},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(RunTool(dir, c.args, c.input).exitCode, 0) << c.text;
    ASSERT_TRUE(KeyTextToWav(c.text, dir.File("ref.wav").c_str(), c.unitMs));
    EXPECT_EQ(ReadBytes(dir.File("t.wav")), ReadBytes(dir.File("ref.wav"))) << c.text;
  }
}

TEST(Cli, DecodePrintsTheTextOrSaysWhyNot) {
  TempDir dir;
  ASSERT_TRUE(KeyTextToWav("cq de tolvane", dir.File("cq.wav").c_str(), 60));
  const std::string longText(300, 'E');
  ASSERT_TRUE(KeyTextToWav(longText, dir.File("long.wav").c_str(), 60));
  test::WriteBytes(dir.File("not.wav"), test::Bytes(100, 'x'));
  test::WriteBytes(dir.File("stereo.wav"),
                   test::Riff({test::Chunk("fmt ", test::FormatBody(1, 2, 44100)),
                               test::Chunk("data", test::Bytes(40000, 0))}));
  test::WriteBytes(dir.File("silent.wav"), test::PcmWav(std::vector<std::int16_t>(100, 0)));
  test::WriteBytes(dir.File("empty.wav"), test::PcmWav({}));
  test::WriteBytes(dir.File("cut.wav"), test::Riff({test::Chunk("fmt ", test::FormatBody()),
                                                    test::Chunk("data", test::Bytes(8, 0), 80)}));
  struct Case {
    std::vector<std::string> args;
    int exitCode;
    std::string out;    // the whole standard output
    std::string inErr;  // expected in standard error
  };
  const std::string missing = dir.File("missing.wav");
  const Case cases[] = {
      {{"decode", dir.File("cq.wav")}, 0, "CQ DE TOLVANE\n", ""},
      {{"decode", dir.File("long.wav")}, 0, longText + "\n", ""},
      {{"decode", "--basic", "--explain", dir.File("cq.wav")}, 0, "CQ DE TOLVANE\n",
       "unit:      442 samples (55.2 ms, 21.7 WPM)"},
      {{"decode", "--basic", "--explain", dir.File("cq.wav")}, 0, "CQ DE TOLVANE\n",
       "read:      -.-. --.- / -.. . / - --- .-.. ...- .- -. ."},
      {{"decode", "--explain", "--basic", dir.File("cq.wav")}, 0, "CQ DE TOLVANE\n", "peak 10423, threshold 2084"},
      {{"decode", "--robust", dir.File("cq.wav")}, 0, "CQ DE TOLVANE\n", ""},
      {{"decode", "--robust", "--explain", dir.File("cq.wav")}, 0, "CQ DE TOLVANE\n", "pitch:     600.0 Hz"},
      {{"decode", "--explain", dir.File("cq.wav")}, 0, "CQ DE TOLVANE\n", "speed:     20.0 WPM"},
      {{"decode", "--explain", dir.File("cq.wav")}, 0, "CQ DE TOLVANE\n", "1 locked on, 11 characters"},
      {{"decode", "--robust", dir.File("silent.wav")}, 1, "", "silent.wav: no Morse code found"},
      {{"decode", "--basic", dir.File("silent.wav")}, 1, "", "silent"},
      {{"decode", missing}, 1, "", missing + ": cannot open: No such file or directory"},
      {{"decode", dir.path()}, 1, "", "cannot read: Is a directory"},
      {{"decode", dir.File("not.wav")}, 1, "",
       kSndfile ? "libsndfile cannot read it: Format not recognised." : "not a RIFF/WAVE file"},
      // Read through libsndfile: it holds only zeros.
      {{"decode", dir.File("stereo.wav")}, 1, "",
       kSndfile ? "no Morse code found" : "44100 Hz, 2 channels, 16-bit PCM; need 8000 Hz, mono, 16-bit PCM"},
      {{"decode", "--basic", dir.File("stereo.wav")}, 1, "",
       kSndfile ? "silent" : "44100 Hz, 2 channels, 16-bit PCM; need 8000 Hz, mono, 16-bit PCM"},
      {{"decode", dir.File("silent.wav")}, 1, "", "no Morse code found"},
      {{"decode", dir.File("empty.wav")}, 1, "", "no Morse code found"},
      {{"decode", "--basic", dir.File("empty.wav")}, 1, "", "no samples"},
      {{"decode", dir.File("cut.wav")}, 1, "", "truncated"},
      {{"decode"}, 2, "", "usage:"},
      {{"decode", "a.wav", "b.wav"}, 2, "", "usage:"},
      // A device is a stream, and zeros are no format a stream may hold.
      {{"decode", "/dev/zero"}, 1, "",
       kSndfile ? "/dev/zero: not a format the tool reads from a stream" : "not a RIFF/WAVE file"},
      {{"decode", "--bogus", "a.wav"}, 2, "", "unknown option"},
  };
  for (const Case& c : cases) {
    const Result r = RunTool(dir, c.args);
    std::string shown;
    for (const std::string& a : c.args) shown += a + " ";
    EXPECT_EQ(r.exitCode, c.exitCode) << shown << r.err;
    EXPECT_EQ(r.out, c.out) << shown;
    EXPECT_NE(r.err.find(c.inErr), std::string::npos) << shown << r.err;
    if (c.exitCode == 1) {
      EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << "one line: " << r.err;
    }
  }
}

}  // namespace
}  // namespace tolvane
