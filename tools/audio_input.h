// Reading standard input whole, for `tolvane encode -` (its text). Audio
// input is read block by block by AudioSource (audio_source.h).
#ifndef TOLVANE_TOOLS_AUDIO_INPUT_H
#define TOLVANE_TOOLS_AUDIO_INPUT_H

#include <cstdio>
#include <string>

namespace tolvane::tool {

// Reads everything `in` holds into `out`; false on a read error.
bool ReadAll(std::FILE* in, std::string* out);

}  // namespace tolvane::tool

#endif  // TOLVANE_TOOLS_AUDIO_INPUT_H
