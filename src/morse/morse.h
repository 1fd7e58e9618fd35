// The Morse alphabet shared by the keyer and the recogniser.
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

}  // namespace tolvane

#endif  // TOLVANE_SRC_MORSE_MORSE_H
