// The Morse alphabet shared by the keyer and the recogniser, the other
// alphabets and prosigns, and the reading of text into codes.
#ifndef TOLVANE_SRC_MORSE_MORSE_H
#define TOLVANE_SRC_MORSE_MORSE_H

#include <cstddef>

namespace tolvane {

// One row of the alphabet: an upper-case ASCII character and its code of
// '.' and '-' (1 to 7 symbols).
struct MorseEntry {
  char character;
  const char* code;
};

constexpr std::size_t kMorseTableSize = 54;
// The longest code in the table, in symbols ('$' is seven).
constexpr std::size_t kMaxCodeLength = 7;
extern const MorseEntry MorseTable[kMorseTableSize];

// The code of `character`, or nullptr when no row holds it. Only the ASCII
// letters a-z are folded to upper case; every other byte is compared as is,
// so bytes above 127 never match.
const char* LookupCode(char character);

// The character whose code equals `code` exactly, or '?' when no row holds
// it (a received question mark looks the same as an unknown code).
char LookupChar(const char* code);

// --- Other alphabets -------------------------------------------------------
//
// Beside the table above, which stays the library's, the keyer of the tool
// (and later the decoder) reads other alphabets. Each charset is its own
// rows first and the table above after them, so digits, punctuation and
// Latin letters stay keyable in every charset. Rows are stored in upper
// case; text is folded with FoldCase before a lookup.

enum class Charset {
  kBasic,     // the 54 rows above only
  kLatin,     // letters with diacritics: Ä Á Å É Ñ Ö Ü, CH, ...
  kCyrillic,
  kGreek,
  kHebrew,
  kArabic,
};

// One row of a charset: one code point (or two, for CH), its code, and the
// same character as UTF-8 for the way back.
struct CharsetEntry {
  char32_t first;
  char32_t second;  // 0 unless the row is a pair of characters
  const char* code;
  const char* text;
};

// "basic", "latin", "cyrillic", "greek", "hebrew", "arabic"; false for any
// other name.
bool ParseCharset(const char* name, Charset* charset);
const char* CharsetName(Charset charset);

// The rows a charset adds to the basic table, in order of preference for
// the way back (the first of several rows with one code wins).
const CharsetEntry* CharsetRows(Charset charset, std::size_t* count);

// Upper case of `c` for the scripts the charsets cover (ASCII, Latin-1 and
// Latin Extended-A, Greek with its accented vowels, Cyrillic); any other
// code point is returned as it is.
char32_t FoldCase(char32_t c);

// The code of the code point `c` (folded first) in `charset`, or nullptr.
// Pairs (CH) are found by MatchCode only.
const char* LookupCode(Charset charset, char32_t c);

// The code of the longest row that starts `text` (length >= 1): a pair
// where the charset has one, else one code point. `*used` gets 1 or 2;
// nullptr when no row starts it.
const char* MatchCode(Charset charset, const char32_t* text, std::size_t length,
                      std::size_t* used);

// The way back: the character a code stands for in `charset`, as UTF-8
// ("Ä", "CH", "Ж", "A"), or nullptr when no row has it.
const char* LookupText(Charset charset, const char* code);

// The basic-alphabet spelling of a letter the basic table lacks ("E" for
// É, "SHCH" for Щ, "TH" for Θ, "'" for a curly quote; "" for a letter that
// has none, the soft sign), or nullptr when there is none. Folds first.
const char* Transliterate(char32_t c);

// --- Prosigns ---------------------------------------------------------------
//
// Written <AR>, <SK>, ...: the letters' codes run together with no gap. Any
// letters and digits may be run together that way; these are the ones with
// names, for the way back.
struct ProsignEntry {
  const char* name;  // "AR"
  const char* code;  // ".-.-."
};
const ProsignEntry* Prosigns(std::size_t* count);
// The name of the prosign a code is, or nullptr.
const char* ProsignName(const char* code);

// The Koch method's order of characters (as learners meet them, one by one).
extern const char kKochOrder[];

// --- Text to codes ----------------------------------------------------------

// What text turns into, one event at a time.
class CodeSink {
 public:
  virtual ~CodeSink() = default;
  // One character (or prosign): '.' and '-'. False stops the text.
  virtual bool Character(const char* code) = 0;
  // A word gap. False stops the text.
  virtual bool WordGap() = 0;
  // A code point nothing could key (kInvalidUtf8 for a byte that is no
  // UTF-8).
  virtual void Skipped(char32_t c) = 0;
};

constexpr char32_t kInvalidUtf8 = 0xFFFD;

// How whitespace keys.
enum class Spacing {
  kEachSpace,  // every space, tab and line break (CR LF once) is a word gap
  kCollapse,   // any run of whitespace is one word gap; none at either end
};

struct TextOptions {
  Charset charset = Charset::kBasic;
  bool transliterate = false;  // spell unkeyable letters in the basic alphabet
  Spacing spacing = Spacing::kEachSpace;
};

// Turns UTF-8 text, given in blocks of any size (a character may be split
// between blocks), into codes and word gaps, in constant memory. <LETTERS>
// keys a prosign when every letter between the brackets has a code (at
// most kMaxProsignLetters); otherwise '<' is skipped and the rest is read as
// text.
class TextCoder {
 public:
  static constexpr std::size_t kMaxProsignLetters = 10;

  explicit TextCoder(const TextOptions& options);

  // False as soon as the sink said stop.
  bool Feed(const char* bytes, std::size_t size, CodeSink* sink);
  // The end of the text: whatever waited for more is decided.
  bool Finish(CodeSink* sink);

 private:
  bool Push(char32_t c, CodeSink* sink);
  bool Drain(bool atEnd, CodeSink* sink);
  bool Emit(const char* code, CodeSink* sink);
  void Pop(std::size_t count);
  bool Prosign(bool atEnd, CodeSink* sink, bool* wait);
  bool Letter(CodeSink* sink, bool atEnd, bool* wait);

  TextOptions options_;
  char32_t partial_ = 0;      // UTF-8 sequence being assembled
  int pendingBytes_ = 0;      // continuation bytes still expected
  char32_t minimum_ = 0;      // smallest value the sequence may encode
  char32_t queue_[kMaxProsignLetters + 2] = {};
  std::size_t queued_ = 0;
  bool keyed_ = false;        // a character has been keyed
  bool gapPending_ = false;   // kCollapse: whitespace since the last character
  bool afterCr_ = false;      // kEachSpace: CR LF is one line break
  bool hasPairs_ = false;     // the charset has rows of two characters
};

}  // namespace tolvane

#endif  // TOLVANE_SRC_MORSE_MORSE_H
