// Reading a recording for `tolvane decode`: the library's own WAV reader for
// 8000 Hz 16-bit mono PCM, libsndfile and libsoxr for everything else.
#ifndef TOLVANE_TOOLS_AUDIO_INPUT_H
#define TOLVANE_TOOLS_AUDIO_INPUT_H

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace tolvane::tool {

// 8000 Hz mono samples: as the library's reader loaded them (kept as they
// are, since copying an hour of audio costs as much as reading it), or as
// converted from another format.
struct Recording {
  std::unique_ptr<std::int16_t[]> loaded;
  std::size_t loadedCount = 0;
  std::vector<std::int16_t> converted;
  std::string via;   // which reader, and what it did
  std::string held;  // what the input held: format, rate, channels, duration

  const std::int16_t* samples() const { return loaded ? loaded.get() : converted.data(); }
  std::size_t count() const { return loaded ? loadedCount : converted.size(); }
};

// Reads `path` ("-" for standard input). Files that are 8000 Hz 16-bit mono
// PCM WAV go through the library's reader, exactly as Wave2Morse reads
// them; anything else is read with libsndfile, mixed down to mono (the mean
// of the channels), resampled to 8000 Hz with libsoxr at high quality and
// rounded and clipped to 16 bits. Standard input and pipes are read to
// their end first. On failure `error` says why, in one line.
bool ReadRecording(const std::string& path, Recording* out, std::string* error);

// Reads everything `in` holds into `out`; false on a read error.
bool ReadAll(std::FILE* in, std::string* out);

// Whether this build can read other formats than 8000 Hz 16-bit mono WAV.
bool ReadsOtherFormats();

}  // namespace tolvane::tool

#endif  // TOLVANE_TOOLS_AUDIO_INPUT_H
