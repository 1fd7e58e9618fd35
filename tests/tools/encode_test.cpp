// tolvane encode as a user runs it: the default file against the library's,
// timing and text rules by the samples they give, refused options, and a
// replaced file that is never lost.
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "keyer/keyer.h"
#include "support/test_support.h"

namespace tolvane {
namespace {

using test::ReadBytes;
using test::ShellQuote;
using test::ReadText;
using test::TempDir;

#if defined(TOLVANE_WITH_SNDFILE)
constexpr bool kSndfile = true;
#else
constexpr bool kSndfile = false;
#endif

const std::string& Tool() {
  static const std::string tool = std::string(TOLVANE_TOOL_RUNNER) + " " + ShellQuote(TOLVANE_TOOL);
  return tool;
}

// exitCode is 128 + N when the command was killed by signal N; only
// standard error is kept.
using Result = test::CommandResult;

// Runs a bash command line in which TOOL stands for the tool, in `dir`.
Result Shell(const TempDir& dir, std::string command) {
  for (std::size_t at; (at = command.find("TOOL")) != std::string::npos;) command.replace(at, 4, Tool());
  const std::string full = "cd " + ShellQuote(dir.path()) + " && bash -c " + ShellQuote(command) + " 2>" + ShellQuote(dir.File("err"));
  const int status = std::system(full.c_str());
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, "", ReadText(dir.File("err"))};
}

std::vector<unsigned char> Library(const TempDir& dir, const std::string& text, int unitMs = 60) {
  const std::string path = dir.File("library.wav");
  EXPECT_TRUE(KeyTextToWav(text, path.c_str(), unitMs));
  return ReadBytes(path);
}

// Files in `dir` whose names say they are the tool's temporary files.
int Leftovers(const TempDir& dir) {
  Shell(dir, "ls -A | grep -c '[.]tolvane-' > count");
  return std::atoi(ReadText(dir.File("count")).c_str());
}

TEST(Encode, WithoutOptionsWritesWhatMorse2WavWrites) {
  TempDir dir;
  std::vector<std::string> texts = {"SOS", "Hello, World!", "  two  spaces ", "é#%", "", "cq de w1aw > k"};
  std::mt19937 random(11);
  const std::string alphabet = "AZ09.,?/@ #%\x01\x7F\xC3\xA9\xFF\xE2\x9C\x93>";
  for (int n = 0; n < 30; ++n) {
    std::string text;
    for (std::size_t k = random() % 40 + 1; k > 0; --k) text += alphabet[random() % alphabet.size()];
    texts.push_back(text);
  }
  for (const std::string& text : texts) {
    const auto expected = Library(dir, text);
    ASSERT_EQ(Shell(dir, "TOOL encode -- " + ShellQuote(text) + " out.wav").exitCode, 0) << text;
    EXPECT_EQ(ReadBytes(dir.File("out.wav")), expected) << text;
  }
  // Standard output: a file gets the same bytes, and so does a pipe, since
  // the length is known before the first sample.
  const auto sos = Library(dir, "SOS");
  for (const char* command : {"TOOL encode SOS - > out.wav", "TOOL encode SOS - | cat > out.wav",
                              "echo SOS | TOOL encode - - | cat > out.wav", "printf 'S O S' | TOOL encode --file - out.wav"}) {
    ASSERT_EQ(Shell(dir, command).exitCode, 0) << command;
    if (std::string(command).find("'S O S'") != std::string::npos) {
      EXPECT_NE(ReadBytes(dir.File("out.wav")), sos);  // word gaps differ
    } else {
      EXPECT_EQ(ReadBytes(dir.File("out.wav")), sos) << command;
    }
  }
}

// Sample counts at 8000 Hz and 60 ms units (480 samples), by the timing
// rules: a dot 1 unit, a dash 3, 1 after each, 2 more after a character.
TEST(Encode, TextRulesKeyTheSamplesTheyShould) {
  TempDir dir;
  struct Case {
    const char* name;
    std::string command;
    double units;
  };
  const Case cases[] = {
      {"prosign", "TOOL encode '<AR>' out.wav", 16},                // .-.-. run together
      {"letters", "TOOL encode 'AR' out.wav", 8 + 10},
      {"tab and line break", "TOOL encode $'E\\tE\\r\\nE' out.wav", 3 * 4 + 2 * 7},
      {"file whitespace", "printf '  E \\t\\n\\n E\\n' > t.txt && TOOL encode --file t.txt out.wav", 4 + 7 + 4},
      {"stdin as TEXT -", "printf 'E  E\\n' | TOOL encode - out.wav", 4 + 7 + 4},
      {"word gap 7", "TOOL encode --word-gap 7 'E E' out.wav", 4 + 4 + 4},
      {"cyrillic", "TOOL encode --charset cyrillic 'Жи' out.wav", 12 + 6},
      {"latin CH", "TOOL encode --charset latin 'ch' out.wav", 18},
      {"transliterated", "TOOL encode --transliterate 'é' out.wav", 4},
      {"weight keeps the length", "TOOL encode --weight 70 'PARIS' out.wav", 31 + 3 + 12},
      {"Farnsworth 20/10", "TOOL encode --farnsworth 10 'E E' out.wav", 2 + (3.0 + 7.0) * (60.0 / 10 - 31 * 0.06) / 19 / 0.06},
      {"groups", "TOOL encode --groups 3 --koch 2 --seed 1 out.wav", -1},
  };
  for (const Case& c : cases) {
    const Result r = Shell(dir, c.command);
    ASSERT_EQ(r.exitCode, 0) << c.name << ": " << r.err;
    const auto file = ReadBytes(dir.File("out.wav"));
    if (c.units < 0) continue;
    EXPECT_NEAR((static_cast<double>(file.size()) - 44) / 2, c.units * 480, 0.5) << c.name;
  }
  // Groups: K and M only, five each, the same for the same seed.
  ASSERT_EQ(Shell(dir, "TOOL encode --groups 3 --koch 2 --seed 1 a.wav && TOOL encode --groups 3 --koch 2 "
                       "--seed 1 b.wav && TOOL decode a.wav > text").exitCode, 0);
  EXPECT_EQ(ReadBytes(dir.File("a.wav")), ReadBytes(dir.File("b.wav")));
  const std::string text = ReadText(dir.File("text"));
  EXPECT_EQ(text.size(), 18u) << text;
  EXPECT_EQ(text.find_first_not_of("KM \n"), std::string::npos) << text;
}

TEST(Encode, NamesSkippedCharactersAndStrictFails) {
  TempDir dir;
  struct Case {
    std::string command;
    int exitCode;
    std::string err;  // expected in standard error; "" expects none
  };
  const Case cases[] = {
      {"TOOL encode 'SOS' out.wav", 0, ""},
      {"TOOL encode 'Ж ✓ ☃ Ж' out.wav", 0, "tolvane: skipped 4 characters: Ж, ✓, ☃\n"},
      {"TOOL encode --charset cyrillic 'Ж ✓' out.wav", 0, "skipped 1 character: ✓\n"},
      {"TOOL encode $'A\\x01\\xff' out.wav", 0, "skipped 2 characters: U+0001, invalid UTF-8"},
      {"TOOL encode 'abcdefghijklmnopqrstuvwxyzäöüàáâãåæçèéêëìíîïñòóôõø' out.wav", 0,
       "skipped 24 characters: ä, ö, ü, à, á, â, ã, å, æ, ç, ..."},
      {"TOOL encode --strict 'SOS ✓' out.wav", 1, "TEXT: skipped 1 character: ✓ (--strict: nothing written)"},
      {"TOOL encode --strict --transliterate 'café' out.wav", 0, ""},
  };
  for (const Case& c : cases) {
    test::WriteBytes(dir.File("out.wav"), {'o', 'l', 'd'});
    const Result r = Shell(dir, c.command);
    EXPECT_EQ(r.exitCode, c.exitCode) << c.command << ": " << r.err;
    if (c.err.empty()) {
      EXPECT_EQ(r.err, "") << c.command;
    } else {
      EXPECT_NE(r.err.find(c.err), std::string::npos) << c.command << ": " << r.err;
    }
    EXPECT_EQ(ReadBytes(dir.File("out.wav")) == std::vector<unsigned char>({'o', 'l', 'd'}), c.exitCode != 0)
        << c.command;
  }
}

TEST(Encode, RefusesWhatCannotBeKeyedOrWritten) {
  TempDir dir;
  struct Case {
    std::string args;
    int exitCode;
    std::string err;
  };
  const Case cases[] = {
      {"--rate 7999 E out.wav", 2, "--rate takes a whole number from 8000 to 192000"},
      {"--rate 44100.5 E out.wav", 2, "--rate takes a whole number"},
      {"--pitch 4000 E out.wav", 2, "--pitch must be below half the --rate"},
      {"--volume 1 E out.wav", 2, "--volume takes a number from -60 to 0"},
      {"--weight 90 E out.wav", 2, "--weight takes a number from 20 to 80"},
      {"--word-gap 3 E out.wav", 2, "--word-gap takes a number from 4 to 100"},
      {"--farnsworth 25 E out.wav", 2, "--farnsworth must not be faster than the letters"},
      {"--farnsworth 10 --word-gap 10 E out.wav", 2, "--farnsworth keeps the standard word gap: --word-gap 7"},
      {"--wpm 60 --rise-ms 10.5 E out.wav", 2, "--rise-ms 10.5 does not fit twice in a dot (20.0 ms"},
      {"--charset klingon E out.wav", 2, "--charset takes basic, latin"},
      {"--format aiff E out.wav", 2, "--format takes wav, flac, ogg, opus or mp3, not 'aiff'"},
      {"E out.aiff", 2, "cannot tell the format of out.aiff from its name"},
      {"--format flac E -", 2, "standard output takes WAV only"},
      {"--koch 5 E out.wav", 2, "--koch goes with --groups"},
      {"--seed 5 E out.wav", 2, "--seed goes with --groups, --fist, --jitter, --snr or --fade"},
      {"--snr 61 E out.wav", 2, "--snr takes a number from -30 to 60"},
      {"--snr ten E out.wav", 2, "--snr takes a number"},
      {"--fade 0 E out.wav", 2, "--fade takes a number from 0.01 to 20"},
      {"--jitter 0.6 E out.wav", 2, "--jitter takes a number from 0 to 0.5"},
      {"--fist lazy E out.wav", 2, "--fist takes machine, straight, bug or paddle, not 'lazy'"},
      {"--fist bug --weight 60 E out.wav", 2, "--weight and --word-gap time a machine"},
      {"--fist straight --word-gap 7 E out.wav", 2, "--weight and --word-gap time a machine"},
      {"--groups 5 E out.wav", 2, "encode needs OUTPUT (and no TEXT)"},
      {"--file a.txt --groups 5 out.wav", 2, "give one of --file and --groups"},
      {"--file missing.txt out.wav", 1, "missing.txt: cannot open: No such file or directory"},
      {"--transliterate=yes E out.wav", 2, "--transliterate takes no value"},
      {"--rate 44100 E out.opus", kSndfile ? 1 : 1,
       kSndfile ? "Opus takes a rate of 8000, 12000, 16000, 24000 and 48000 Hz, not 44100" : "WAV only"},
      {"--rate 96000 E out.mp3", 1,
       kSndfile ? "MP3 takes a rate of 8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100 and 48000 Hz, not 96000"
                : "WAV only"},
      {"E out.flac", kSndfile ? 0 : 1, kSndfile ? "" : "built without libsndfile and writes WAV only, not FLAC"},
  };
  for (const Case& c : cases) {
    std::remove(dir.File("out.wav").c_str());
    const Result r = Shell(dir, "TOOL encode " + c.args);
    EXPECT_EQ(r.exitCode, c.exitCode) << c.args << ": " << r.err;
    EXPECT_NE(r.err.find(c.err), std::string::npos) << c.args << ": " << r.err;
    if (c.exitCode != 0) {
      EXPECT_FALSE(test::FileExists(dir.File("out.wav"))) << c.args;
    }
  }
}

// 1.5 MiB of spaces, more than the tool reads ahead (so the temporary file
// exists while it still reads), then 100 words "E": about 1 MB of audio.
const char kLongText[] = "{ head -c 1572864 /dev/zero | tr '\\0' ' '; for i in $(seq 100); do printf 'E '; done; }";

// The old file's bytes against what each way of failing leaves.
TEST(Encode, NeverLosesTheFileItReplaces) {
  TempDir dir;
  const std::string longText = kLongText;
  struct Case {
    const char* name;
    std::string setup;    // run first
    std::string command;  // the encode
    int exitCode;
    std::string err;
    bool replaced;        // out.wav holds the new text (else the old bytes)
  };
  const Case cases[] = {
      {"success", "", "TOOL encode SOS out.wav", 0, "", true},
      {"failure mid-file", "", "{ " + longText + "; printf '\\xff'; } | TOOL encode --strict - out.wav", 1,
       "skipped 1 character: invalid UTF-8", false},
      {"file-size limit", "", "ulimit -f 64; " + longText + " | TOOL encode - out.wav", 1,
       "out.wav: write failed: File too large", false},
      {"SIGINT", "",
       "rm -f in; mkfifo in; TOOL encode - out.wav < in & pid=$!; exec 3>in; " + longText + " >&3; "
       "for i in $(seq 100); do ls -A | grep -q '[.]tolvane-' && break; sleep 0.1; done; "
       "kill -INT $pid; wait $pid",
       128 + 2, "", false},
      {"SIGTERM", "",
       "rm -f in; mkfifo in; TOOL encode - out.wav < in & pid=$!; exec 3>in; " + longText + " >&3; "
       "for i in $(seq 100); do ls -A | grep -q '[.]tolvane-' && break; sleep 0.1; done; "
       "kill -TERM $pid; wait $pid",
       128 + 15, "", false},
  };
  for (const Case& c : cases) {
    test::WriteBytes(dir.File("out.wav"), {'o', 'l', 'd'});
    if (!c.setup.empty()) Shell(dir, c.setup);
    const Result r = Shell(dir, c.command);
    EXPECT_EQ(r.exitCode, c.exitCode) << c.name << ": " << r.err;
    EXPECT_NE(r.err.find(c.err), std::string::npos) << c.name << ": " << r.err;
    const auto bytes = ReadBytes(dir.File("out.wav"));
    if (c.replaced) {
      EXPECT_EQ(bytes, Library(dir, "SOS")) << c.name;
    } else {
      EXPECT_EQ(bytes, std::vector<unsigned char>({'o', 'l', 'd'})) << c.name;
    }
    EXPECT_EQ(Leftovers(dir), 0) << c.name;
  }
}

TEST(Encode, WritesThroughLinksIntoFifosAndKeepsPermissions) {
  TempDir dir;
  const auto sos = Library(dir, "SOS");
  struct Case {
    const char* name;
    std::string command;
    std::string check;  // a bash test that must hold afterwards
    std::string file;   // holds the library's SOS afterwards
  };
  const Case cases[] = {
      {"symlink", "echo old > t.wav && ln -sf t.wav link.wav && TOOL encode SOS link.wav",
       "test -L link.wav && test \"$(readlink link.wav)\" = t.wav", "t.wav"},
      {"symlink to a symlink in another directory",
       "mkdir -p d && echo old > d/t.wav && ln -sf t.wav d/l1.wav && ln -sf d/l1.wav l2.wav && TOOL encode SOS l2.wav",
       "test -L l2.wav && test -L d/l1.wav && ! ls -A d | grep -q tolvane-", "d/t.wav"},
      {"dangling symlink", "rm -f new.wav && ln -sf new.wav dangling.wav && TOOL encode SOS dangling.wav",
       "test -L dangling.wav", "new.wav"},
      {"FIFO", "rm -f fifo && mkfifo fifo && { cat fifo > got.wav & TOOL encode SOS fifo; wait; }", "test -p fifo",
       "got.wav"},
      {"permissions kept", "echo old > p.wav && chmod 640 p.wav && TOOL encode SOS p.wav",
       "test \"$(stat -c %a p.wav)\" = 640", "p.wav"},
      {"new file gets the umask's permissions", "rm -f n.wav && umask 027 && TOOL encode SOS n.wav",
       "test \"$(stat -c %a n.wav)\" = 640", "n.wav"},
      {"hard link keeps the old contents", "echo old > h.wav && ln -f h.wav h2.wav && TOOL encode SOS h.wav",
       "test \"$(cat h2.wav)\" = old", "h.wav"},
      {"standard output to a file opened for appending", "echo -n > s.wav && TOOL encode SOS - >> s.wav", "true",
       "s.wav"},
  };
  for (const Case& c : cases) {
    const Result r = Shell(dir, c.command);
    ASSERT_EQ(r.exitCode, 0) << c.name << ": " << r.err;
    EXPECT_EQ(Shell(dir, c.check).exitCode, 0) << c.name << ": " << c.check;
    EXPECT_EQ(ReadBytes(dir.File(c.file)), sos) << c.name;
    EXPECT_EQ(Leftovers(dir), 0) << c.name;
  }
}

// A pipe, socket or device, however it is named, is written as a stream;
// a regular file behind /dev/stdout is still replaced whole.
TEST(Encode, WritesStreamsBehindDevStdoutAndOtherLinksDirectly) {
  TempDir dir;
  const auto sos = Library(dir, "SOS");
  struct Case {
    const char* name;
    std::string command;
    std::string file;  // holds the library's SOS afterwards ("": nothing to read)
    const char* needs = nullptr;  // a program the case runs
  };
  const Case cases[] = {
      {"/dev/stdout into a pipe", "TOOL encode SOS /dev/stdout | cat > got.wav", "got.wav"},
      {"/proc/self/fd/1 into a pipe", "TOOL encode SOS /proc/self/fd/1 | cat > got.wav", "got.wav"},
      {"/dev/fd/3 into a pipe", "{ TOOL encode SOS /dev/fd/3 3>&1 >&2; } | cat > got.wav", "got.wav"},
      {"a link to /dev/stdout", "ln -sf /dev/stdout so.wav && TOOL encode SOS so.wav | cat > got.wav && test -L so.wav",
       "got.wav"},
      {"/dev/null", "TOOL encode SOS /dev/null && test -c /dev/null", ""},
      {"/dev/stdout on a socket",
       "python3 -c 'import socket, subprocess, sys\n"
       "a, b = socket.socketpair()\n"
       "p = subprocess.Popen(sys.argv[1:], stdout=a.fileno()); a.close()\n"
       "data = b\"\".join(iter(lambda: b.recv(65536), b\"\"))\n"
       "open(\"got.wav\", \"wb\").write(data); sys.exit(p.wait())' TOOL encode SOS /dev/stdout",
       "got.wav", "python3"},
      // Written in place, the old file's longer tail would stay.
      {"/dev/stdout on a regular file", "head -c 100000 /dev/zero > r.wav && TOOL encode SOS /dev/stdout 1<>r.wav",
       "r.wav"},
  };
  for (const Case& c : cases) {
    if (c.needs != nullptr && Shell(dir, std::string("command -v ") + c.needs).exitCode != 0) continue;
    std::remove(dir.File("got.wav").c_str());
    const Result r = Shell(dir, c.command);
    ASSERT_EQ(r.exitCode, 0) << c.name << ": " << r.err;
    EXPECT_EQ(r.err, "") << c.name;
    if (!c.file.empty()) {
      EXPECT_EQ(ReadBytes(dir.File(c.file)), sos) << c.name;
    }
    EXPECT_EQ(Leftovers(dir), 0) << c.name;
  }
}

// A reader that leaves early (`| head`) ends encode as it ends decode:
// quietly, exit 0. Other write failures still fail.
TEST(Encode, AReaderThatLeavesEndsTheRunQuietly) {
  TempDir dir;
  const std::string text = "\"$(printf 'PARIS %.0s' $(seq 40))\"";  // 1.9 MB of audio, far more than a pipe holds
  const struct {
    std::string command;
    int exitCode;
    std::string err;
  } cases[] = {
      {"TOOL encode " + text + " - | head -c 44 >/dev/null; exit ${PIPESTATUS[0]}", 0, ""},
      {"TOOL encode " + text + " /dev/stdout | head -c 44 >/dev/null; exit ${PIPESTATUS[0]}", 0, ""},
      {"rm -f f && mkfifo f && { head -c 44 f >/dev/null & TOOL encode " + text + " f; s=$?; wait; exit $s; }", 0, ""},
      {"TOOL encode --format flac " + text + " /dev/stdout | head -c 44 >/dev/null; exit ${PIPESTATUS[0]}",
       kSndfile ? 0 : 1, kSndfile ? "" : "tolvane: /dev/stdout: this tolvane was built without libsndfile"},
      {"TOOL encode " + text + " - >/dev/full", 1, "tolvane: -: write failed: No space left on device\n"},
  };
  for (const auto& c : cases) {
    const Result r = Shell(dir, c.command);
    EXPECT_EQ(r.exitCode, c.exitCode) << c.command << ": " << r.err;
    EXPECT_EQ(r.err.substr(0, c.err.size()), c.err) << c.command;
    if (c.err.empty()) {
      EXPECT_EQ(r.err, "") << c.command;
    }
  }
}

// What no crash test here can show: the data is synced before the rename,
// and the directory after it.
TEST(Encode, SyncsTheFileThenRenamesThenSyncsTheDirectory) {
  TempDir dir;
  if (Shell(dir, "command -v strace").exitCode != 0) GTEST_SKIP() << "strace is not installed";
  // LeakSanitizer refuses to run under ptrace, so a sanitized build turns it off here.
  const Result traced = Shell(dir,
                              "ASAN_OPTIONS=\"${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0\" "
                              "strace -f -o trace -e trace=fsync,fdatasync,rename,renameat,renameat2 TOOL encode SOS out.wav");
  ASSERT_EQ(traced.exitCode, 0) << traced.err;
  const std::string trace = ReadText(dir.File("trace"));
  const std::size_t rename = trace.find(".out.wav.tolvane-");
  ASSERT_NE(rename, std::string::npos) << trace;
  EXPECT_NE(trace.rfind("fsync(", rename), std::string::npos) << trace;
  EXPECT_NE(trace.find("fsync(", rename), std::string::npos) << trace;
}

// A text longer than the read-ahead, written to standard output: a pipe
// gets the unknown length sox writes, a file true sizes.
TEST(Encode, StreamsOfUnknownLengthGetHeadersThatSaySo) {
  TempDir dir;
  const std::string longText = kLongText;
  ASSERT_EQ(Shell(dir, longText + " | TOOL encode --unit-ms 5 - - | cat > piped.wav").exitCode, 0);
  ASSERT_EQ(Shell(dir, longText + " | TOOL encode --unit-ms 5 - - > file.wav").exitCode, 0);
  ASSERT_EQ(Shell(dir, longText + " | TOOL encode --unit-ms 5 - named.wav").exitCode, 0);
  const auto piped = ReadBytes(dir.File("piped.wav"));
  const auto file = ReadBytes(dir.File("file.wav"));
  ASSERT_EQ(piped.size(), file.size());
  EXPECT_EQ(test::U32At(piped, 4), 0x7FFFF024u);
  EXPECT_EQ(test::U32At(piped, 40), 0x7FFFF000u);
  EXPECT_EQ(test::U32At(file, 40), file.size() - 44);
  EXPECT_EQ(test::U32At(file, 4), file.size() - 8);
  EXPECT_TRUE(std::equal(piped.begin() + 44, piped.end(), file.begin() + 44));
  EXPECT_EQ(ReadBytes(dir.File("named.wav")), file);
  // 100 E at 5 ms (40 samples): 4 units each, 7 between two.
  EXPECT_EQ(file.size(), 44u + 2u * (100u * 4u + 99u * 7u) * 40u);
}

}  // namespace
}  // namespace tolvane
