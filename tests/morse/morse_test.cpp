#include "morse/morse.h"

#include <cstring>
#include <set>
#include <string>

#include <gtest/gtest.h>

namespace tolvane {
namespace {

TEST(MorseTable, RowsAreWellFormedAndUnique) {
  std::set<char> characters;
  std::set<std::string> codes;
  for (const MorseEntry& entry : MorseTable) {
    const std::string code = entry.code;
    EXPECT_GE(code.size(), 1u) << entry.character;
    EXPECT_LE(code.size(), 7u) << entry.character;
    EXPECT_EQ(code.find_first_not_of(".-"), std::string::npos) << entry.character;
    EXPECT_FALSE(entry.character >= 'a' && entry.character <= 'z') << "stored in lower case";
    EXPECT_NE(entry.character, ' ');
    characters.insert(entry.character);
    codes.insert(code);
  }
  EXPECT_EQ(characters.size(), 54u);
  EXPECT_EQ(codes.size(), 54u);
}

TEST(MorseTable, EveryRowSurvivesARoundTrip) {
  for (const MorseEntry& entry : MorseTable) {
    const char* code = LookupCode(entry.character);
    ASSERT_NE(code, nullptr) << entry.character;
    EXPECT_STREQ(code, entry.code);
    EXPECT_EQ(LookupChar(code), entry.character);
  }
}

TEST(LookupCode, FoldsOnlyAsciiLetters) {
  struct Case {
    char character;
    const char* code;  // nullptr: no row
  };
  const Case cases[] = {
      {'q', "--.-"}, {'Q', "--.-"}, {'a', ".-"},  {'z', "--.."}, {'0', "-----"},
      {'"', ".-..-."}, {'@', ".--.-."}, {'?', "..--.."}, {' ', nullptr}, {'#', nullptr},
      {'%', nullptr}, {'\0', nullptr}, {'\n', nullptr}, {'`', nullptr}, {'{', nullptr},
  };
  for (const Case& c : cases) {
    const char* code = LookupCode(c.character);
    if (c.code == nullptr) {
      EXPECT_EQ(code, nullptr) << "byte " << static_cast<int>(c.character);
    } else {
      ASSERT_NE(code, nullptr) << c.character;
      EXPECT_STREQ(code, c.code) << c.character;
    }
  }
}

TEST(LookupCode, BytesAboveAsciiNeverMatch) {
  // Whether plain char is signed or not, these bytes hold no row; a fold
  // through the locale could have mapped some of them onto letters.
  for (int byte = 128; byte < 256; ++byte) {
    EXPECT_EQ(LookupCode(static_cast<char>(byte)), nullptr) << byte;
  }
}

TEST(LookupChar, UnknownCodesReadAsQuestionMark) {
  struct Case {
    const char* code;
    char character;
  };
  const Case cases[] = {
      {"..--..", '?'},   {"........", '?'}, {"", '?'},      {".-.-.-.-", '?'},
      {".-", 'A'},       {"-", 'T'},         {".", 'E'},     {"...-..-", '$'},
      {".- ", '?'},      {".-.", 'R'},       {"-.--.-", ')'}, {"x", '?'},
  };
  for (const Case& c : cases) EXPECT_EQ(LookupChar(c.code), c.character) << c.code;
  EXPECT_EQ(LookupChar(nullptr), '?');
}

}  // namespace
}  // namespace tolvane
