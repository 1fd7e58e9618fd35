// The other alphabets, prosigns and transliteration, as data tables.
#include <cstring>

#include "morse/morse.h"

namespace tolvane {
namespace {

// Where several rows share a code, the first is the one read back.
constexpr CharsetEntry kLatin[] = {
    {0xC4, 0, ".-.-", "Ä"},     {0xC5, 0, ".--.-", "Å"},   {0xC1, 0, ".--.-", "Á"},
    {0xC0, 0, ".--.-", "À"},    {0xC9, 0, "..-..", "É"},   {0xC8, 0, ".-..-", "È"},
    {0xD1, 0, "--.--", "Ñ"},    {0xD6, 0, "---.", "Ö"},    {0xDC, 0, "..--", "Ü"},
    {'C', 'H', "----", "CH"},   {0xC6, 0, ".-.-", "Æ"},    {0x104, 0, ".-.-", "Ą"},
    {0xC7, 0, "-.-..", "Ç"},    {0x106, 0, "-.-..", "Ć"},  {0x108, 0, "-.-..", "Ĉ"},
    {0xD0, 0, "..--.", "Ð"},    {0x110, 0, "..-..", "Đ"},  {0x118, 0, "..-..", "Ę"},
    {0x11C, 0, "--.-.", "Ĝ"},   {0x124, 0, "----", "Ĥ"},   {0x134, 0, ".---.", "Ĵ"},
    {0x141, 0, ".-..-", "Ł"},   {0x143, 0, "--.--", "Ń"},  {0xD3, 0, "---.", "Ó"},
    {0xD8, 0, "---.", "Ø"},     {0x152, 0, "---.", "Œ"},   {0x15A, 0, "...-...", "Ś"},
    {0x15C, 0, "...-.", "Ŝ"},   {0x160, 0, "----", "Š"},   {0xDE, 0, ".--..", "Þ"},
    {0x16C, 0, "..--", "Ŭ"},    {0x179, 0, "--..-.", "Ź"}, {0x17B, 0, "--..-", "Ż"},
    {0xDF, 0, "...--..", "ß"},
};

// The Russian alphabet, then the letters other Cyrillic alphabets add that
// have codes of their own; the soft sign comes before the hard sign, which
// shares its code.
constexpr CharsetEntry kCyrillic[] = {
    {0x410, 0, ".-", "А"},    {0x411, 0, "-...", "Б"},  {0x412, 0, ".--", "В"},
    {0x413, 0, "--.", "Г"},   {0x414, 0, "-..", "Д"},   {0x415, 0, ".", "Е"},
    {0x416, 0, "...-", "Ж"},  {0x417, 0, "--..", "З"},  {0x418, 0, "..", "И"},
    {0x419, 0, ".---", "Й"},  {0x41A, 0, "-.-", "К"},   {0x41B, 0, ".-..", "Л"},
    {0x41C, 0, "--", "М"},    {0x41D, 0, "-.", "Н"},    {0x41E, 0, "---", "О"},
    {0x41F, 0, ".--.", "П"},  {0x420, 0, ".-.", "Р"},   {0x421, 0, "...", "С"},
    {0x422, 0, "-", "Т"},     {0x423, 0, "..-", "У"},   {0x424, 0, "..-.", "Ф"},
    {0x425, 0, "....", "Х"},  {0x426, 0, "-.-.", "Ц"},  {0x427, 0, "---.", "Ч"},
    {0x428, 0, "----", "Ш"},  {0x429, 0, "--.-", "Щ"},  {0x42C, 0, "-..-", "Ь"},
    {0x42A, 0, "-..-", "Ъ"},  {0x42B, 0, "-.--", "Ы"},  {0x42D, 0, "..-..", "Э"},
    {0x42E, 0, "..--", "Ю"},  {0x42F, 0, ".-.-", "Я"},  {0x401, 0, ".", "Ё"},
    {0x400, 0, ".", "Ѐ"},     {0x404, 0, ".", "Є"},     {0x406, 0, "..", "І"},
    {0x407, 0, "..", "Ї"},    {0x408, 0, ".---", "Ј"},  {0x40D, 0, "..", "Ѝ"},
    {0x40E, 0, "..-", "Ў"},   {0x40B, 0, "-.-.", "Ћ"},  {0x490, 0, "--.", "Ґ"},
};

// The 24 letters, then the accented capitals, keyed as their vowels.
constexpr CharsetEntry kGreek[] = {
    {0x391, 0, ".-", "Α"},    {0x392, 0, "-...", "Β"},  {0x393, 0, "--.", "Γ"},
    {0x394, 0, "-..", "Δ"},   {0x395, 0, ".", "Ε"},     {0x396, 0, "--..", "Ζ"},
    {0x397, 0, "....", "Η"},  {0x398, 0, "-.-.", "Θ"},  {0x399, 0, "..", "Ι"},
    {0x39A, 0, "-.-", "Κ"},   {0x39B, 0, ".-..", "Λ"},  {0x39C, 0, "--", "Μ"},
    {0x39D, 0, "-.", "Ν"},    {0x39E, 0, "-..-", "Ξ"},  {0x39F, 0, "---", "Ο"},
    {0x3A0, 0, ".--.", "Π"},  {0x3A1, 0, ".-.", "Ρ"},   {0x3A3, 0, "...", "Σ"},
    {0x3A4, 0, "-", "Τ"},     {0x3A5, 0, "-.--", "Υ"},  {0x3A6, 0, "..-.", "Φ"},
    {0x3A7, 0, "----", "Χ"},  {0x3A8, 0, "--.-", "Ψ"},  {0x3A9, 0, ".--", "Ω"},
    {0x386, 0, ".-", "Ά"},    {0x388, 0, ".", "Έ"},     {0x389, 0, "....", "Ή"},
    {0x38A, 0, "..", "Ί"},    {0x38C, 0, "---", "Ό"},   {0x38E, 0, "-.--", "Ύ"},
    {0x38F, 0, ".--", "Ώ"},   {0x3AA, 0, "..", "Ϊ"},    {0x3AB, 0, "-.--", "Ϋ"},
    {0x390, 0, "..", "ΐ"},    {0x3B0, 0, "-.--", "ΰ"},
};

// The 22 letters, each final form after its letter.
constexpr CharsetEntry kHebrew[] = {
    {0x5D0, 0, ".-", "א"},    {0x5D1, 0, "-...", "ב"},  {0x5D2, 0, "--.", "ג"},
    {0x5D3, 0, "-..", "ד"},   {0x5D4, 0, "---", "ה"},   {0x5D5, 0, ".", "ו"},
    {0x5D6, 0, "--..", "ז"},  {0x5D7, 0, "....", "ח"},  {0x5D8, 0, "..-", "ט"},
    {0x5D9, 0, "..", "י"},    {0x5DB, 0, "-.-", "כ"},   {0x5DA, 0, "-.-", "ך"},
    {0x5DC, 0, ".-..", "ל"},  {0x5DE, 0, "--", "מ"},    {0x5DD, 0, "--", "ם"},
    {0x5E0, 0, "-.", "נ"},    {0x5DF, 0, "-.", "ן"},    {0x5E1, 0, "-.-.", "ס"},
    {0x5E2, 0, ".---", "ע"},  {0x5E4, 0, ".--.", "פ"},  {0x5E3, 0, ".--.", "ף"},
    {0x5E6, 0, ".--", "צ"},   {0x5E5, 0, ".--", "ץ"},   {0x5E7, 0, "--.-", "ק"},
    {0x5E8, 0, ".-.", "ר"},   {0x5E9, 0, "...", "ש"},   {0x5EA, 0, "-", "ת"},
};

// The 28 letters and hamza, then alef with hamza or madda, keyed as alef.
constexpr CharsetEntry kArabic[] = {
    {0x627, 0, ".-", "ا"},    {0x628, 0, "-...", "ب"},  {0x62A, 0, "-", "ت"},
    {0x62B, 0, "-.-.", "ث"},  {0x62C, 0, ".---", "ج"},  {0x62D, 0, "....", "ح"},
    {0x62E, 0, "---", "خ"},   {0x62F, 0, "-..", "د"},   {0x630, 0, "--..", "ذ"},
    {0x631, 0, ".-.", "ر"},   {0x632, 0, "---.", "ز"},  {0x633, 0, "...", "س"},
    {0x634, 0, "----", "ش"},  {0x635, 0, "-..-", "ص"},  {0x636, 0, "...-", "ض"},
    {0x637, 0, "..-", "ط"},   {0x638, 0, "-.--", "ظ"},  {0x639, 0, ".-.-", "ع"},
    {0x63A, 0, "--.", "غ"},   {0x641, 0, "..-.", "ف"},  {0x642, 0, "--.-", "ق"},
    {0x643, 0, "-.-", "ك"},   {0x644, 0, ".-..", "ل"},  {0x645, 0, "--", "م"},
    {0x646, 0, "-.", "ن"},    {0x647, 0, "..-..", "ه"}, {0x648, 0, ".--", "و"},
    {0x64A, 0, "..", "ي"},    {0x621, 0, ".", "ء"},     {0x623, 0, ".-", "أ"},
    {0x625, 0, ".-", "إ"},    {0x622, 0, ".-", "آ"},
};

struct Spelling {
  char32_t c;
  const char* text;
};

// Sorted by code point for a binary search; upper case only (the text is
// folded first). Latin letters lose their marks (the decomposition's base
// letter), ligatures and letters without one are spelt out, Cyrillic follows
// the ICAO passport scheme, Greek ELOT 743; typographic punctuation becomes
// its plain form.
const Spelling kSpellings[] = {
    {0xA1, "!"},     {0xAB, "\""},    {0xBB, "\""},    {0xBF, "?"},     {0xC0, "A"},
    {0xC1, "A"},     {0xC2, "A"},     {0xC3, "A"},     {0xC4, "A"},     {0xC5, "A"},
    {0xC6, "AE"},    {0xC7, "C"},     {0xC8, "E"},     {0xC9, "E"},     {0xCA, "E"},
    {0xCB, "E"},     {0xCC, "I"},     {0xCD, "I"},     {0xCE, "I"},     {0xCF, "I"},
    {0xD0, "D"},     {0xD1, "N"},     {0xD2, "O"},     {0xD3, "O"},     {0xD4, "O"},
    {0xD5, "O"},     {0xD6, "O"},     {0xD7, "X"},     {0xD8, "O"},     {0xD9, "U"},
    {0xDA, "U"},     {0xDB, "U"},     {0xDC, "U"},     {0xDD, "Y"},     {0xDE, "TH"},
    {0xDF, "SS"},    {0x100, "A"},    {0x102, "A"},    {0x104, "A"},    {0x106, "C"},
    {0x108, "C"},    {0x10A, "C"},    {0x10C, "C"},    {0x10E, "D"},    {0x110, "D"},
    {0x112, "E"},    {0x114, "E"},    {0x116, "E"},    {0x118, "E"},    {0x11A, "E"},
    {0x11C, "G"},    {0x11E, "G"},    {0x120, "G"},    {0x122, "G"},    {0x124, "H"},
    {0x126, "H"},    {0x128, "I"},    {0x12A, "I"},    {0x12C, "I"},    {0x12E, "I"},
    {0x130, "I"},    {0x132, "IJ"},   {0x134, "J"},    {0x136, "K"},    {0x138, "K"},
    {0x139, "L"},    {0x13B, "L"},    {0x13D, "L"},    {0x13F, "L"},    {0x141, "L"},
    {0x143, "N"},    {0x145, "N"},    {0x147, "N"},    {0x149, "N"},    {0x14A, "N"},
    {0x14C, "O"},    {0x14E, "O"},    {0x150, "O"},    {0x152, "OE"},   {0x154, "R"},
    {0x156, "R"},    {0x158, "R"},    {0x15A, "S"},    {0x15C, "S"},    {0x15E, "S"},
    {0x160, "S"},    {0x162, "T"},    {0x164, "T"},    {0x166, "T"},    {0x168, "U"},
    {0x16A, "U"},    {0x16C, "U"},    {0x16E, "U"},    {0x170, "U"},    {0x172, "U"},
    {0x174, "W"},    {0x176, "Y"},    {0x178, "Y"},    {0x179, "Z"},    {0x17B, "Z"},
    {0x17D, "Z"},    {0x17F, "S"},    {0x386, "A"},    {0x388, "E"},    {0x389, "I"},
    {0x38A, "I"},    {0x38C, "O"},    {0x38E, "Y"},    {0x38F, "O"},    {0x390, "I"},
    {0x391, "A"},    {0x392, "V"},    {0x393, "G"},    {0x394, "D"},    {0x395, "E"},
    {0x396, "Z"},    {0x397, "I"},    {0x398, "TH"},   {0x399, "I"},    {0x39A, "K"},
    {0x39B, "L"},    {0x39C, "M"},    {0x39D, "N"},    {0x39E, "X"},    {0x39F, "O"},
    {0x3A0, "P"},    {0x3A1, "R"},    {0x3A3, "S"},    {0x3A4, "T"},    {0x3A5, "Y"},
    {0x3A6, "F"},    {0x3A7, "CH"},   {0x3A8, "PS"},   {0x3A9, "O"},    {0x3AA, "I"},
    {0x3AB, "Y"},    {0x3B0, "Y"},    {0x400, "E"},    {0x401, "E"},    {0x402, "DJ"},
    {0x403, "G"},    {0x404, "IE"},   {0x405, "DZ"},   {0x406, "I"},    {0x407, "I"},
    {0x408, "J"},    {0x409, "LJ"},   {0x40A, "NJ"},   {0x40B, "C"},    {0x40C, "K"},
    {0x40D, "I"},    {0x40E, "U"},    {0x40F, "DZ"},   {0x410, "A"},    {0x411, "B"},
    {0x412, "V"},    {0x413, "G"},    {0x414, "D"},    {0x415, "E"},    {0x416, "ZH"},
    {0x417, "Z"},    {0x418, "I"},    {0x419, "I"},    {0x41A, "K"},    {0x41B, "L"},
    {0x41C, "M"},    {0x41D, "N"},    {0x41E, "O"},    {0x41F, "P"},    {0x420, "R"},
    {0x421, "S"},    {0x422, "T"},    {0x423, "U"},    {0x424, "F"},    {0x425, "KH"},
    {0x426, "TS"},   {0x427, "CH"},   {0x428, "SH"},   {0x429, "SHCH"}, {0x42A, "IE"},
    {0x42B, "Y"},    {0x42C, ""},     {0x42D, "E"},    {0x42E, "IU"},   {0x42F, "IA"},
    {0x490, "G"},    {0x2010, "-"},   {0x2011, "-"},   {0x2012, "-"},   {0x2013, "-"},
    {0x2014, "-"},   {0x2018, "'"},   {0x2019, "'"},   {0x201A, "'"},   {0x201C, "\""},
    {0x201D, "\""},  {0x201E, "\""},  {0x2026, "..."}, {0x2032, "'"},   {0x2033, "\""},
    {0x2212, "-"},
};

const ProsignEntry kProsignTable[] = {
    {"AR", ".-.-."},  {"SK", "...-.-"},    {"BT", "-...-"},  {"KN", "-.--."},
    {"SOS", "...---..."}, {"HH", "........"}, {"AS", ".-..."}, {"CT", "-.-.-"},
    {"SN", "...-."},  {"BK", "-...-.-"},   {"CL", "-.-..-.."}, {"DO", "-..---"},
    // Codes with no character in the basic alphabet, named by their letters
    // run together, so that a reader can print what was keyed.
    {"AA", ".-.-"},   {"OE", "---."},      {"MM", "----"},   {"UT", "..--"},
    {"AL", ".-.-.."},
};

struct CharsetInfo {
  const char* name;
  const CharsetEntry* rows;
  std::size_t count;
};

template <std::size_t N>
constexpr CharsetInfo Info(const char* name, const CharsetEntry (&rows)[N]) {
  return {name, rows, N};
}

constexpr CharsetInfo kCharsets[] = {
    {"basic", nullptr, 0},       Info("latin", kLatin),   Info("cyrillic", kCyrillic),
    Info("greek", kGreek),       Info("hebrew", kHebrew), Info("arabic", kArabic),
};

const CharsetInfo& InfoOf(Charset charset) { return kCharsets[static_cast<std::size_t>(charset)]; }

// The basic table by byte: a long text is looked up once per character.
struct AsciiCodes {
  const char* code[128] = {};
  char text[128][2] = {};
};

const AsciiCodes& TheAsciiCodes() {
  static const AsciiCodes codes = [] {
    AsciiCodes c;
    for (int byte = 0; byte < 128; ++byte) {
      c.code[byte] = LookupCode(static_cast<char>(byte));
      c.text[byte][0] = static_cast<char>(byte);
    }
    return c;
  }();
  return codes;
}

}  // namespace

const char kKochOrder[] = "KMURESNAPTLWI.JZ=FOY,VG5/Q92H38B?47C1D60X";

bool ParseCharset(const char* name, Charset* charset) {
  for (std::size_t i = 0; i < sizeof kCharsets / sizeof kCharsets[0]; ++i) {
    if (std::strcmp(kCharsets[i].name, name) == 0) {
      *charset = static_cast<Charset>(i);
      return true;
    }
  }
  return false;
}

const char* CharsetName(Charset charset) { return InfoOf(charset).name; }

const CharsetEntry* CharsetRows(Charset charset, std::size_t* count) {
  *count = InfoOf(charset).count;
  return InfoOf(charset).rows;
}

char32_t FoldCase(char32_t c) {
  if (c >= 'a' && c <= 'z') return c - 0x20;
  if (c < 0xE0) return c;
  if (c <= 0xFE) return c == 0xF7 ? c : c - 0x20;
  if (c == 0xFF) return 0x178;
  // Latin Extended-A pairs its cases: upper at even code points, except in
  // the two runs that start one later.
  if ((c >= 0x100 && c <= 0x137) || (c >= 0x14A && c <= 0x177)) return c & ~char32_t{1};
  if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) return c % 2 == 0 ? c - 1 : c;
  if (c >= 0x3B1 && c <= 0x3C9) return c == 0x3C2 ? 0x3A3 : c - 0x20;  // final sigma
  switch (c) {
    case 0x3AC: return 0x386;
    case 0x3AD: case 0x3AE: case 0x3AF: return c - 0x25;
    case 0x3CA: case 0x3CB: return c - 0x20;
    case 0x3CC: return 0x38C;
    case 0x3CD: case 0x3CE: return c - 0x3F;
    case 0x491: return 0x490;
    default: break;
  }
  if (c >= 0x430 && c <= 0x44F) return c - 0x20;
  if (c >= 0x450 && c <= 0x45F) return c - 0x50;
  return c;
}

const char* LookupCode(Charset charset, char32_t c) {
  c = FoldCase(c);
  if (c < 128) return TheAsciiCodes().code[c];
  const CharsetInfo& info = InfoOf(charset);
  for (std::size_t i = 0; i < info.count; ++i) {
    if (info.rows[i].first == c && info.rows[i].second == 0) return info.rows[i].code;
  }
  return nullptr;
}

const char* MatchCode(Charset charset, const char32_t* text, std::size_t length, std::size_t* used) {
  const CharsetInfo& info = InfoOf(charset);
  if (length >= 2) {
    const char32_t first = FoldCase(text[0]);
    const char32_t second = FoldCase(text[1]);
    for (std::size_t i = 0; i < info.count; ++i) {
      if (info.rows[i].second != 0 && info.rows[i].first == first && info.rows[i].second == second) {
        *used = 2;
        return info.rows[i].code;
      }
    }
  }
  *used = 1;
  return LookupCode(charset, text[0]);
}

const char* LookupText(Charset charset, const char* code) {
  if (code == nullptr) return nullptr;
  const CharsetInfo& info = InfoOf(charset);
  for (std::size_t i = 0; i < info.count; ++i) {
    if (std::strcmp(info.rows[i].code, code) == 0) return info.rows[i].text;
  }
  for (const MorseEntry& entry : MorseTable) {
    if (std::strcmp(entry.code, code) == 0) {
      return TheAsciiCodes().text[static_cast<unsigned char>(entry.character)];
    }
  }
  return nullptr;
}

const char* Transliterate(char32_t c) {
  c = FoldCase(c);
  std::size_t low = 0;
  std::size_t high = sizeof kSpellings / sizeof kSpellings[0];
  while (low < high) {
    const std::size_t mid = (low + high) / 2;
    if (kSpellings[mid].c < c) {
      low = mid + 1;
    } else {
      high = mid;
    }
  }
  return low < sizeof kSpellings / sizeof kSpellings[0] && kSpellings[low].c == c ? kSpellings[low].text
                                                                                  : nullptr;
}

const ProsignEntry* Prosigns(std::size_t* count) {
  *count = sizeof kProsignTable / sizeof kProsignTable[0];
  return kProsignTable;
}

const char* ProsignName(const char* code) {
  if (code == nullptr) return nullptr;
  for (const ProsignEntry& entry : kProsignTable) {
    if (std::strcmp(entry.code, code) == 0) return entry.name;
  }
  return nullptr;
}

}  // namespace tolvane
