// The other alphabets, prosigns, spellings and the reading of text into
// codes.
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "morse/morse.h"

namespace tolvane {
namespace {

// Decodes one UTF-8 string to its code points (the tests' own decoder).
std::u32string Utf32(const std::string& text) {
  std::u32string out;
  for (std::size_t i = 0; i < text.size();) {
    const auto b = static_cast<unsigned char>(text[i]);
    const int extra = b < 0x80 ? 0 : b < 0xE0 ? 1 : b < 0xF0 ? 2 : 3;
    char32_t c = extra == 0 ? b : b & (0x3F >> extra);
    for (int k = 1; k <= extra; ++k) c = (c << 6) | (static_cast<unsigned char>(text[i + static_cast<std::size_t>(k)]) & 0x3Fu);
    out += c;
    i += static_cast<std::size_t>(extra) + 1;
  }
  return out;
}

const Charset kAll[] = {Charset::kBasic, Charset::kLatin, Charset::kCyrillic,
                        Charset::kGreek, Charset::kHebrew, Charset::kArabic};

TEST(Charsets, RowsAreWellFormedUpperCaseAndSpelledTheSame) {
  for (Charset charset : kAll) {
    Charset parsed;
    ASSERT_TRUE(ParseCharset(CharsetName(charset), &parsed));
    EXPECT_EQ(parsed, charset);
    std::size_t count = 0;
    const CharsetEntry* rows = CharsetRows(charset, &count);
    std::set<std::u32string> seen;
    for (std::size_t i = 0; i < count; ++i) {
      const CharsetEntry& row = rows[i];
      const std::string code = row.code;
      EXPECT_FALSE(code.empty()) << row.text;
      EXPECT_LE(code.size(), kMaxCodeLength) << row.text;
      EXPECT_EQ(code.find_first_not_of(".-"), std::string::npos) << row.text;
      std::u32string key(1, row.first);
      if (row.second != 0) key += row.second;
      EXPECT_EQ(Utf32(row.text), key) << row.text;
      EXPECT_EQ(FoldCase(row.first), row.first) << row.text << " is stored in upper case";
      EXPECT_TRUE(seen.insert(key).second) << row.text << " twice";
      // Reading a row's code back gives that row or an earlier one with it.
      EXPECT_NE(LookupText(charset, row.code), nullptr) << row.text;
    }
  }
  Charset unused;
  EXPECT_FALSE(ParseCharset("klingon", &unused));
  EXPECT_FALSE(ParseCharset("", &unused));
}

TEST(Charsets, KeyAsOtherMorseSoftwareKeysThem) {
  // Codes as ebook2cw -u keys them (its -S UTF table), lower case folded.
  struct Case {
    Charset charset;
    const char* text;
    const char* code;  // nullptr: none
  };
  const Case cases[] = {
      {Charset::kLatin, "ä", ".-.-"},      {Charset::kLatin, "Á", ".--.-"},   {Charset::kLatin, "å", ".--.-"},
      {Charset::kLatin, "é", "..-.."},     {Charset::kLatin, "ñ", "--.--"},   {Charset::kLatin, "Ö", "---."},
      {Charset::kLatin, "ü", "..--"},      {Charset::kLatin, "ß", "...--.."}, {Charset::kLatin, "ç", "-.-.."},
      {Charset::kBasic, "ä", nullptr},     {Charset::kBasic, "a", ".-"},      {Charset::kLatin, "a", ".-"},
      {Charset::kCyrillic, "Ж", "...-"},   {Charset::kCyrillic, "щ", "--.-"}, {Charset::kCyrillic, "я", ".-.-"},
      {Charset::kCyrillic, "ё", "."},      {Charset::kCyrillic, "Ю", "..--"}, {Charset::kCyrillic, "ь", "-..-"},
      {Charset::kCyrillic, "Ы", "-.--"},   {Charset::kCyrillic, "э", "..-.."}, {Charset::kCyrillic, "7", "--..."},
      {Charset::kGreek, "Θ", "-.-."},      {Charset::kGreek, "ψ", "--.-"},    {Charset::kGreek, "ς", "..."},
      {Charset::kGreek, "ώ", ".--"},       {Charset::kGreek, "Η", "...."},    {Charset::kGreek, "ξ", "-..-"},
      {Charset::kHebrew, "ה", "---"},      {Charset::kHebrew, "ו", "."},      {Charset::kHebrew, "ם", "--"},
      {Charset::kHebrew, "צ", ".--"},      {Charset::kHebrew, "ת", "-"},      {Charset::kHebrew, "Ж", nullptr},
      {Charset::kArabic, "ز", "---."},     {Charset::kArabic, "ع", ".-.-"},   {Charset::kArabic, "ي", ".."},
      {Charset::kArabic, "ش", "----"},     {Charset::kArabic, "ء", "."},      {Charset::kArabic, "✓", nullptr},
  };
  for (const Case& c : cases) {
    const std::u32string text = Utf32(c.text);
    ASSERT_EQ(text.size(), 1u) << c.text;
    const char* code = LookupCode(c.charset, text[0]);
    if (c.code == nullptr) {
      EXPECT_EQ(code, nullptr) << c.text;
    } else {
      ASSERT_NE(code, nullptr) << c.text << " in " << CharsetName(c.charset);
      EXPECT_STREQ(code, c.code) << c.text;
    }
  }
}

TEST(Charsets, CodesReadBackToTheFirstRowWithThem) {
  struct Case {
    Charset charset;
    const char* code;
    const char* text;  // nullptr: none
  };
  const Case cases[] = {
      {Charset::kBasic, ".-", "A"},       {Charset::kLatin, ".-", "A"},      {Charset::kLatin, "----", "CH"},
      {Charset::kLatin, ".-.-", "Ä"},     {Charset::kLatin, ".--.-", "Å"},   {Charset::kCyrillic, ".-", "А"},
      {Charset::kCyrillic, "-..-", "Ь"},  {Charset::kGreek, "----", "Χ"},    {Charset::kHebrew, "-.-", "כ"},
      {Charset::kArabic, ".-", "ا"},      {Charset::kCyrillic, ".-.-.-", "."}, {Charset::kBasic, "........", nullptr},
      {Charset::kBasic, "", nullptr},     {Charset::kGreek, nullptr, nullptr},
  };
  for (const Case& c : cases) {
    const char* text = LookupText(c.charset, c.code);
    if (c.text == nullptr) {
      EXPECT_EQ(text, nullptr) << (c.code ? c.code : "null");
    } else {
      ASSERT_NE(text, nullptr) << c.code;
      EXPECT_STREQ(text, c.text) << c.code;
    }
  }
}

TEST(Charsets, FoldCaseMapsEachScriptsLowerCaseOnly) {
  const std::pair<const char*, const char*> cases[] = {
      {"z", "Z"}, {"Z", "Z"}, {"é", "É"}, {"ÿ", "Ÿ"}, {"÷", "÷"}, {"ß", "ß"}, {"ā", "Ā"}, {"Ā", "Ā"},
      {"ĺ", "Ĺ"}, {"Ĺ", "Ĺ"}, {"ł", "Ł"}, {"ŋ", "Ŋ"}, {"ž", "Ž"}, {"Ž", "Ž"}, {"ς", "Σ"}, {"σ", "Σ"},
      {"ά", "Ά"}, {"ί", "Ί"}, {"ώ", "Ώ"}, {"ϋ", "Ϋ"}, {"ж", "Ж"}, {"ё", "Ё"}, {"џ", "Џ"}, {"ґ", "Ґ"},
      {"א", "א"}, {"{", "{"}, {"`", "`"}, {"@", "@"},
  };
  for (const auto& [lower, upper] : cases) {
    EXPECT_EQ(FoldCase(Utf32(lower)[0]), Utf32(upper)[0]) << lower;
  }
}

TEST(Transliterate, SpellsInTheBasicAlphabetOnly) {
  const std::pair<const char*, const char*> cases[] = {
      {"é", "E"},   {"É", "E"},   {"ß", "SS"},   {"æ", "AE"},  {"ł", "L"},  {"Щ", "SHCH"}, {"ж", "ZH"},
      {"ь", ""},    {"θ", "TH"},  {"ψ", "PS"},   {"ή", "I"},   {"“", "\""}, {"’", "'"},    {"…", "..."},
      {"—", "-"},   {"¿", "?"},   {"đ", "D"},    {"ŉ", "N"},
  };
  for (const auto& [text, spelling] : cases) {
    const char* got = Transliterate(Utf32(text)[0]);
    ASSERT_NE(got, nullptr) << text;
    EXPECT_STREQ(got, spelling) << text;
  }
  for (const char* none : {"A", "#", "✓", "א", "\u0301"}) {
    EXPECT_EQ(Transliterate(Utf32(none)[0]), nullptr) << none;
  }
  // Every spelling keys in the basic alphabet, so --transliterate never
  // skips what it spells.
  for (char32_t c = 0x80; c < 0x3000; ++c) {
    if (const char* spelling = Transliterate(c)) {
      for (const char* p = spelling; *p != '\0'; ++p) EXPECT_NE(LookupCode(*p), nullptr) << std::hex << c;
    }
  }
}

TEST(Prosigns, NamedOnesAreTheirLettersRunTogether) {
  std::size_t count = 0;
  const ProsignEntry* rows = Prosigns(&count);
  ASSERT_GE(count, 6u);
  for (std::size_t i = 0; i < count; ++i) {
    std::string joined;
    for (const char* p = rows[i].name; *p != '\0'; ++p) joined += LookupCode(*p);
    EXPECT_EQ(joined, rows[i].code) << rows[i].name;
    EXPECT_STREQ(ProsignName(rows[i].code), rows[i].name);
  }
  EXPECT_STREQ(ProsignName(".-.-."), "AR");
  EXPECT_STREQ(ProsignName("...---..."), "SOS");
  EXPECT_EQ(ProsignName(".-"), nullptr);
  EXPECT_EQ(ProsignName(nullptr), nullptr);
  // The Koch order holds each keyable character once.
  const std::string koch = kKochOrder;
  EXPECT_EQ(koch.size(), 41u);
  EXPECT_EQ(std::set<char>(koch.begin(), koch.end()).size(), koch.size());
  for (char c : koch) EXPECT_NE(LookupCode(c), nullptr) << c;
}

// Writes what the coder gives as text: codes separated by spaces, '/' for
// a word gap, [XXXX] for a skipped code point.
class Recorder : public CodeSink {
 public:
  bool Character(const char* code) override { return Add(code); }
  bool WordGap() override { return Add("/"); }
  void Skipped(char32_t c) override {
    char hex[16];
    std::snprintf(hex, sizeof hex, "[%04X]", static_cast<unsigned>(c));
    Add(hex);
  }
  std::string events;
  int stopAfter = -1;

 private:
  bool Add(const std::string& event) {
    events += (events.empty() ? "" : " ") + event;
    return stopAfter < 0 || --stopAfter > 0;
  }
};

std::string Code(const std::string& text, const TextOptions& options, std::size_t split = 0) {
  TextCoder coder(options);
  Recorder recorder;
  if (split > 0 && split < text.size()) {
    coder.Feed(text.data(), split, &recorder);
    coder.Feed(text.data() + split, text.size() - split, &recorder);
  } else {
    coder.Feed(text.data(), text.size(), &recorder);
  }
  coder.Finish(&recorder);
  return recorder.events;
}

TEST(TextCoder, WhitespaceProsignsCharsetsAndBadBytes) {
  TextOptions each;
  TextOptions collapse;
  collapse.spacing = Spacing::kCollapse;
  TextOptions latin = collapse;
  latin.charset = Charset::kLatin;
  TextOptions cyrillic = collapse;
  cyrillic.charset = Charset::kCyrillic;
  TextOptions spell = collapse;
  spell.transliterate = true;
  TextOptions cyrillicSpell = cyrillic;
  cyrillicSpell.transliterate = true;
  struct Case {
    const char* name;
    TextOptions options;
    std::string text;
    std::string events;
  };
  const Case cases[] = {
      {"each space", each, "E  E ", ". / / . /"},
      {"line breaks", each, "A\r\nB\n\nC\tD\rE", ".- / -... / / -.-. / -.. / ."},
      {"leading space", each, " E", "/ ."},
      {"collapsed", collapse, " \t A \r\n\n  B\u00A0 C\n", ".- / -... / -.-."},
      {"skipped between words", collapse, "A \u2713 B", ".- [2713] / -..."},
      {"skipped at the end", collapse, "A #", ".- [0023]"},
      {"prosign", collapse, "<AR> <sk>", ".-.-. / ...-.-"},
      {"prosign inside a word", each, "QRV<KN>", "--.- .-. ...- -.--."},
      {"long prosign", collapse, "<SOS><HH>", "...---... ........"},
      {"ten letters", collapse, "<EEEEEEEEEE>", ".........."},
      {"eleven letters", collapse, "<EEEEEEEEEEE>",
       "[003C] . . . . . . . . . . . [003E]"},
      {"empty brackets", collapse, "<>", "[003C] [003E]"},
      {"space inside", each, "<A B>", "[003C] .- / -... [003E]"},
      {"unkeyable inside", collapse, "<#>", "[003C] [0023] [003E]"},
      {"never closed", collapse, "<AR", "[003C] .- .-."},
      {"nested", collapse, "<<K>", "[003C] -.-"},
      {"basic CH", collapse, "CH", "-.-. ...."},
      {"latin CH", latin, "ÄCH ch", ".-.- ---- / ----"},
      {"latin C alone", latin, "C", "-.-."},
      {"latin C then not H", latin, "CA", "-.-. .-"},
      {"cyrillic", cyrillic, "Привет мир", ".--. .-. .. .-- . - / -- .. .-."},
      {"cyrillic in basic", collapse, "Жx", "[0416] -..-"},
      {"transliterated", spell, "Щé", "... .... -.-. .... ."},
      {"charset first", cyrillicSpell, "Жé", "...- ."},
      {"soft sign spelt as nothing", spell, "Ь", ""},
      {"cut sequence", collapse, "\xC3", "[FFFD]"},
      {"cut before ASCII", collapse, "\xC3" "A", "[FFFD] .-"},
      {"overlong", collapse, "\xE0\x80\x80", "[FFFD]"},
      {"surrogate", collapse, "\xED\xA0\x80" "E", "[FFFD] ."},
      {"above U+10FFFF", collapse, "\xF4\x90\x80\x80", "[FFFD]"},
      {"stray bytes", collapse, "\xFF\x80" "E", "[FFFD] [FFFD] ."},
      {"four bytes", collapse, "\xF0\x9F\x98\x80", "[1F600]"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Code(c.text, c.options), c.events) << c.name;
    // However the text is cut into blocks, the codes are the same.
    for (std::size_t split = 1; split < c.text.size(); ++split) {
      EXPECT_EQ(Code(c.text, c.options, split), c.events) << c.name << " split at " << split;
    }
  }
}

TEST(TextCoder, StopsWhenTheSinkSaysSo) {
  TextCoder coder(TextOptions{});
  Recorder recorder;
  recorder.stopAfter = 2;
  const std::string text = "EEEEEE";
  EXPECT_FALSE(coder.Feed(text.data(), text.size(), &recorder));
  EXPECT_EQ(recorder.events, ". .");
}

}  // namespace
}  // namespace tolvane
