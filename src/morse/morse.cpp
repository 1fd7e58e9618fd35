#include "morse/morse.h"

#include <cstring>

namespace tolvane {

// Searched from the first row to the last; the order only decides the order
// of search, since no two rows share a character or a code.
const MorseEntry MorseTable[kMorseTableSize] = {
    {'A', ".-"},      {'B', "-..."},    {'C', "-.-."},    {'D', "-.."},
    {'E', "."},       {'F', "..-."},    {'G', "--."},     {'H', "...."},
    {'I', ".."},      {'J', ".---"},    {'K', "-.-"},     {'L', ".-.."},
    {'M', "--"},      {'N', "-."},      {'O', "---"},     {'P', ".--."},
    {'Q', "--.-"},    {'R', ".-."},     {'S', "..."},     {'T', "-"},
    {'U', "..-"},     {'V', "...-"},    {'W', ".--"},     {'X', "-..-"},
    {'Y', "-.--"},    {'Z', "--.."},    {'0', "-----"},   {'1', ".----"},
    {'2', "..---"},   {'3', "...--"},   {'4', "....-"},   {'5', "....."},
    {'6', "-...."},   {'7', "--..."},   {'8', "---.."},   {'9', "----."},
    {'.', ".-.-.-"},  {',', "--..--"},  {'?', "..--.."},  {'\'', ".----."},
    {'!', "-.-.--"},  {'/', "-..-."},   {'(', "-.--."},   {')', "-.--.-"},
    {'&', ".-..."},   {':', "---..."},  {';', "-.-.-."},  {'=', "-...-"},
    {'+', ".-.-."},   {'-', "-....-"},  {'_', "..--.-"},  {'"', ".-..-."},
    {'$', "...-..-"}, {'@', ".--.-."},
};

const char* LookupCode(char character) {
  // Fold only a-z: locale-dependent toupper() could map bytes above 127 onto
  // table characters.
  if (character >= 'a' && character <= 'z') character = static_cast<char>(character - 32);
  for (const MorseEntry& entry : MorseTable) {
    if (entry.character == character) return entry.code;
  }
  return nullptr;
}

char LookupChar(const char* code) {
  if (code == nullptr) return '?';
  for (const MorseEntry& entry : MorseTable) {
    if (std::strcmp(entry.code, code) == 0) return entry.character;
  }
  return '?';
}

}  // namespace tolvane
