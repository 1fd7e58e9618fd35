#include "tolvane/tolvane.h"

#if !defined(_WIN32)
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "api/api.h"
#include "keyer/keyer.h"
#include "support/test_support.h"

namespace tolvane {
namespace {

using test::FileExists;
using test::ReadBytes;
using test::TempDir;

std::wstring Widen(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

#if defined(_WIN32)

// The ANSI code page, 1252 under the tests' locale: what it lacks becomes
// '?', and the 199-byte limit counts its single bytes.
TEST(WideToAnsi, ConvertsToTheAnsiCodePage) {
  struct Case {
    std::wstring wide;
    bool fits;
    std::string narrow;
  };
  const Case cases[] = {
      {L"", true, ""},
      {L"SOS", true, "SOS"},
      {L"\u00e9", true, "\xe9"},
      {L"\u0416", true, "?"},                                  // Cyrillic
      {L"\u4e2d", true, "?"},                                  // CJK
      {std::wstring(1, static_cast<wchar_t>(0xD800)), true, "?"},  // lone surrogate
      {std::wstring(199, L'\u00e9'), true, std::string(199, '\xe9')},
      {std::wstring(200, L'A'), false, ""},
  };
  for (const Case& c : cases) {
    char out[kArgBufferSize];
    EXPECT_EQ(WideToAnsi(c.wide.c_str(), out, sizeof out), c.fits) << c.wide.size();
    EXPECT_EQ(std::string(out), c.narrow);
  }
}

#else

TEST(WideToAnsi, ConvertsToUtf8AndReplacesWhatUtf8CannotCarry) {
  struct Case {
    std::wstring wide;
    std::string narrow;
  };
  const Case cases[] = {
      {L"", ""},
      {L"SOS", "SOS"},
      {L"\u00e9", "\xc3\xa9"},
      {L"\u20ac", "\xe2\x82\xac"},
      {std::wstring(1, static_cast<wchar_t>(0x1F600)), "\xf0\x9f\x98\x80"},
      {std::wstring(1, static_cast<wchar_t>(0xD800)), "?"},
      {std::wstring(1, static_cast<wchar_t>(0xDFFF)), "?"},
      {std::wstring(1, static_cast<wchar_t>(0x110000)), "?"},
      {std::wstring(1, static_cast<wchar_t>(-1)), "?"},
  };
  for (const Case& c : cases) {
    char out[kArgBufferSize];
    ASSERT_TRUE(WideToAnsi(c.wide.c_str(), out, sizeof out));
    EXPECT_EQ(std::string(out), c.narrow);
  }
}

TEST(WideToAnsi, RefusesWhatDoesNotFitRatherThanCuttingIt) {
  struct Case {
    std::wstring wide;
    bool fits;
  };
  const Case cases[] = {
      {std::wstring(199, L'A'), true},
      {std::wstring(200, L'A'), false},
      {std::wstring(99, L'\u00e9') + L"A", true},  // 198 + 1 bytes
      {std::wstring(100, L'\u00e9'), false},        // 200 bytes
      {std::wstring(66, L'\u20ac') + L"AA", false},  // 198 + 2 bytes
  };
  for (const Case& c : cases) {
    char out[kArgBufferSize];
    out[0] = 'x';
    EXPECT_EQ(WideToAnsi(c.wide.c_str(), out, sizeof out), c.fits) << c.wide.size();
    if (!c.fits) {
      EXPECT_EQ(out[0], '\0');
    }
  }
}

#endif  // _WIN32

TEST(Morse2WAV, StatusAndFileForEachKindOfCall) {
  TempDir dir;
  const std::string missing = dir.File("no/such/dir/out.wav");
  struct Case {
    const wchar_t* text;  // nullptr: a null argument
    std::string path;     // "<null>": a null argument
    int32_t status;
    long fileSize;  // -1: nothing created
  };
  const std::wstring longText(200, L'E');
  const std::wstring fitText(199, L'E');
  const std::string longPath = dir.File(std::string(200, 'p'));
  const Case cases[] = {
      {L"SOS", dir.File("sos.wav"), MORSE2WAV_OK, 28844},
      {L"", dir.File("empty.wav"), MORSE2WAV_OK, 44},
      {L"#", dir.File("hash.wav"), MORSE2WAV_OK, 44},
      {fitText.c_str(), dir.File("fit.wav"), MORSE2WAV_OK, 44 + 199 * 3840},
      {longText.c_str(), dir.File("long.wav"), MORSE2WAV_FAILED, -1},
      {L"SOS", longPath, MORSE2WAV_FAILED, -1},
      {L"SOS", missing, MORSE2WAV_FAILED, -1},
      {L"SOS", "", MORSE2WAV_FAILED, -1},
      {nullptr, dir.File("null-text.wav"), MORSE2WAV_FAILED, -1},
      {L"SOS", "<null>", MORSE2WAV_FAILED, -1},
  };
  for (const Case& c : cases) {
    const std::wstring path = Widen(c.path);
    const int32_t status = Morse2WAV(c.text, c.path == "<null>" ? nullptr : path.c_str());
    EXPECT_EQ(status, c.status) << c.path;
    if (c.path.empty() || c.path == "<null>") continue;
    if (c.fileSize < 0) {
      EXPECT_FALSE(FileExists(c.path)) << c.path;
    } else {
      EXPECT_EQ(static_cast<long>(ReadBytes(c.path).size()), c.fileSize) << c.path;
    }
  }
}

#if !defined(_WIN32)
// Where writing fails, nothing is reported as success.
TEST(Morse2WAV, WriteFaultsAnswerFailed) {
  TempDir dir;
  const std::string readOnly = dir.File("ro");
  ASSERT_EQ(mkdir(readOnly.c_str(), 0555), 0);
  // Permissions do not stop root; sysfs refuses new files to everyone.
  const std::string inReadOnly = geteuid() == 0 ? "/sys/tolvane.wav" : readOnly + "/x.wav";
  const std::string paths[] = {
      "/dev/full",               // fails at a sample write ...
      dir.File("no/such/dir.wav"),
      inReadOnly,
      dir.path(),                // a directory
  };
  for (const std::string& path : paths) {
    EXPECT_EQ(Morse2WAV(L"SOS", Widen(path).c_str()), MORSE2WAV_FAILED) << path;
  }
  // ... and, with only the header buffered, at close.
  EXPECT_EQ(Morse2WAV(L"", L"/dev/full"), MORSE2WAV_FAILED);
  EXPECT_FALSE(FileExists(inReadOnly));
}
#endif

TEST(Morse2WAV, TextsThatKeyTheSameFile) {
  TempDir dir;
  const std::wstring surrogate(1, static_cast<wchar_t>(0xD800));
  const std::pair<std::wstring, std::wstring> same[] = {
      {L"sos", L"SOS"},
      {surrogate, L"?"},
      {L"caf\u00e9", L"CAF"},  // non-ASCII letters have no code
#if defined(_WIN32)
      {L"\u0416\u4e2d", L"??"},  // outside the code page: '?', keyed as ..--..
#else
      {L"\u0416\u4e2d", L""},  // UTF-8 bytes above 127 have no code
      {std::wstring(1, static_cast<wchar_t>(0x110000)), L"?"},
#endif
  };
  for (const auto& [a, b] : same) {
    const std::string pa = dir.File("a.wav");
    const std::string pb = dir.File("b.wav");
    ASSERT_EQ(Morse2WAV(a.c_str(), Widen(pa).c_str()), MORSE2WAV_OK);
    ASSERT_EQ(Morse2WAV(b.c_str(), Widen(pb).c_str()), MORSE2WAV_OK);
    EXPECT_EQ(ReadBytes(pa), ReadBytes(pb));
  }
}

#if !defined(_WIN32)
TEST(Morse2WAV, NonAsciiPathsNameTheFileInUtf8) {
  TempDir dir;
  const std::wstring path = Widen(dir.path()) + L"/\u00e5\u00e4\u00f6-\u043c\u043e\u0440\u0437\u0435.wav";
  ASSERT_EQ(Morse2WAV(L"E", path.c_str()), MORSE2WAV_OK);
  EXPECT_EQ(ReadBytes(dir.File("\xc3\xa5\xc3\xa4\xc3\xb6-\xd0\xbc\xd0\xbe\xd1\x80\xd0\xb7\xd0\xb5.wav")).size(),
            3884u);
}
#endif

TEST(Morse2WAV, CallsForDifferentFilesRunConcurrently) {
  TempDir dir;
  ASSERT_EQ(Morse2WAV(L"PARIS PARIS", Widen(dir.File("reference.wav")).c_str()), MORSE2WAV_OK);
  const std::vector<unsigned char> reference = ReadBytes(dir.File("reference.wav"));
  std::vector<std::thread> threads;
  std::vector<int32_t> status(8, 0);
  for (std::size_t t = 0; t < status.size(); ++t) {
    threads.emplace_back([&, t] {
      const std::wstring path = Widen(dir.File("t" + std::to_string(t) + ".wav"));
      for (int i = 0; i < 5 && status[t] != MORSE2WAV_FAILED; ++i) {
        status[t] = Morse2WAV(L"PARIS PARIS", path.c_str());
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (std::size_t t = 0; t < status.size(); ++t) {
    EXPECT_EQ(status[t], MORSE2WAV_OK);
    EXPECT_EQ(ReadBytes(dir.File("t" + std::to_string(t) + ".wav")), reference);
  }
}

}  // namespace
}  // namespace tolvane

namespace tolvane {
namespace {

std::wstring Key(const TempDir& dir, const std::wstring& text, const std::string& name = "k.wav") {
  const std::wstring path = Widen(dir.File(name));
  EXPECT_EQ(Morse2WAV(text.c_str(), path.c_str()), MORSE2WAV_OK);
  return path;
}

// Calls Wave2Morse and returns its result and what it printed on stderr.
std::pair<std::wstring, std::string> Decode(const wchar_t* path, const wchar_t** address = nullptr) {
  testing::internal::CaptureStderr();
  const wchar_t* result = Wave2Morse(path);
  const std::string err = testing::internal::GetCapturedStderr();
  if (address != nullptr) *address = result;
  return {result, err};
}

const char kLine[] = "Decoding failed. Ensure 8kHz 16-bit mono PCM.\n";

TEST(Wave2Morse, RoundTripsThroughBothExports) {
  struct Case {
    std::wstring keyed;
    std::wstring decoded;
  };
  const Case cases[] = {
      {L"HELLO WORLD", L"HELLO WORLD"}, {L"hello  world", L"HELLO WORLD"}, {L"SOS", L"SOS"},
      {L"E", L"E"}, {L"A ", L"A "}, {L" A", L" A"}, {L"T", L"E"}, {L"?", L"?"},
      {std::wstring(199, L'E'), std::wstring(199, L'E')},
  };
  TempDir dir;
  for (const Case& c : cases) {
    const std::wstring path = Key(dir, c.keyed);
    const auto [text, err] = Decode(path.c_str());
    EXPECT_EQ(text, c.decoded);
    EXPECT_EQ(err, "");
  }
}

TEST(Wave2Morse, FailuresPrintOneLineAndAnswerError) {
  TempDir dir;
  const std::wstring good = Key(dir, L"PARIS", "good.wav");
  const wchar_t* error = nullptr;
  Decode(nullptr, &error);
  std::vector<unsigned char> stereo = test::ReadBytes(dir.File("good.wav"));
  stereo[22] = 2;
  test::WriteBytes(dir.File("stereo.wav"), stereo);
  std::vector<unsigned char> rate = test::ReadBytes(dir.File("good.wav"));
  rate[24] = 0x44;  // 8000 -> 8004 Hz
  test::WriteBytes(dir.File("rate.wav"), rate);
  Key(dir, L"     ", "spaces.wav");
  // 200 characters decode to more than the 199 the result may hold.
  ASSERT_TRUE(KeyTextToWav(std::string(200, 'E'), dir.File("long.wav").c_str(), 60));

  const std::wstring longPath = Widen(dir.File(std::string(200, 'x')));
  const std::wstring paths[] = {
      Widen(dir.File("missing.wav")), Widen(dir.File("stereo.wav")), Widen(dir.File("rate.wav")),
      Widen(dir.File("spaces.wav")),  Widen(dir.File("long.wav")),   longPath,
      Widen(dir.path()),              L"",
  };
  const auto [first, firstErr] = Decode(good.c_str());
  ASSERT_EQ(first, L"PARIS");
  for (const std::wstring& path : paths) {
    const wchar_t* address = nullptr;
    const auto [text, err] = Decode(path.c_str(), &address);
    EXPECT_EQ(text, L"ERROR");
    EXPECT_EQ(address, error) << "the one constant failure result";
    EXPECT_EQ(err, kLine);
  }
  const auto [nullText, nullErr] = Decode(nullptr);
  EXPECT_EQ(nullText, L"ERROR");
  EXPECT_EQ(nullErr, kLine);
  // Failures leave the last good result where it was.
  EXPECT_EQ(std::wstring(ResultText), L"PARIS");
}

TEST(Wave2Morse, SuccessesShareOneBufferApartFromTheFailureConstant) {
  TempDir dir;
  const std::wstring sos = Key(dir, L"SOS", "sos.wav");
  const std::wstring error = Key(dir, L"ERROR", "error.wav");
  const wchar_t* a = Wave2Morse(sos.c_str());
  EXPECT_EQ(std::wstring(a), L"SOS");
  const wchar_t* b = Wave2Morse(error.c_str());
  EXPECT_EQ(a, b);
  EXPECT_EQ(std::wstring(a), L"ERROR");  // the first pointer now shows the second text
  testing::internal::CaptureStderr();
  const wchar_t* failed = Wave2Morse(Widen(dir.File("missing.wav")).c_str());
  testing::internal::GetCapturedStderr();
  EXPECT_NE(failed, b);  // only the address tells a decoded "ERROR" from a failure
  EXPECT_EQ(std::wstring(failed), L"ERROR");
}

}  // namespace
}  // namespace tolvane
