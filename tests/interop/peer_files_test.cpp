// Files written by other programs (cw, ebook2cw, sox, Python's wave,
// libsndfile), committed under tests/data: each decodes to its text, or is
// refused for its reason, through the recogniser and through Wave2Morse.
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "recogniser/recogniser.h"
#include "tolvane/tolvane.h"

namespace tolvane {
namespace {

struct Fixture {
  std::string file;
  bool decodes;
  std::string expected;  // the text, or the reason it is refused
};

std::vector<Fixture> ReadManifest() {
  std::vector<Fixture> fixtures;
  std::ifstream in(std::string(TOLVANE_DATA_DIR) + "/fixtures.tsv");
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    const std::size_t a = line.find('\t');
    const std::size_t b = line.find('\t', a + 1);
    const std::size_t c = line.find('\t', b + 1);
    if (a == std::string::npos || b == std::string::npos || c == std::string::npos) {
      ADD_FAILURE() << "bad manifest line: " << line;
      continue;
    }
    fixtures.push_back({line.substr(0, a), line.substr(a + 1, b - a - 1) == "text", line.substr(b + 1, c - b - 1)});
  }
  return fixtures;
}

TEST(PeerFiles, DecodeOrAreRefusedAsListed) {
  const std::vector<Fixture> fixtures = ReadManifest();
  ASSERT_GE(fixtures.size(), 12u);
  testing::internal::CaptureStderr();  // Wave2Morse's failure lines
  const wchar_t* const error = Wave2Morse(nullptr);
  for (const Fixture& f : fixtures) {
    const std::string path = std::string(TOLVANE_DATA_DIR) + "/" + f.file;
    std::string text;
    DecodeFailure why;
    const bool ok = DecodeWavToText(path.c_str(), &text, nullptr, &why);
    EXPECT_EQ(ok, f.decodes) << f.file;
    EXPECT_EQ(ok ? text : DescribeFailure(why), f.expected) << f.file;

    const std::wstring widePath(path.begin(), path.end());
    const wchar_t* result = Wave2Morse(widePath.c_str());
    if (f.decodes) {
      EXPECT_EQ(std::wstring(result), std::wstring(f.expected.begin(), f.expected.end())) << f.file;
    } else {
      EXPECT_EQ(result, error) << f.file;
    }
  }
  testing::internal::GetCapturedStderr();
}

}  // namespace
}  // namespace tolvane
