// Writing keyed samples for `tolvane encode`: 16-bit mono WAV by the tool
// itself, FLAC, Ogg Vorbis, Opus and MP3 through libsndfile where the tool
// was built with it.
#ifndef TOLVANE_TOOLS_AUDIO_OUTPUT_H
#define TOLVANE_TOOLS_AUDIO_OUTPUT_H

#include <cstdint>
#include <memory>
#include <string>

#include "keyer/keyer.h"
#include "output_file.h"

namespace tolvane::tool {

enum class AudioFormat { kWav, kFlac, kVorbis, kOpus, kMp3 };

// "wav", "flac", "ogg" (Vorbis), "opus", "mp3".
bool ParseFormat(const std::string& name, AudioFormat* format);
const char* FormatName(AudioFormat format);

// The format a path's extension names (.wav, .flac, .ogg or .oga, .opus,
// .mp3, in any case). A path without an extension, or "-", is WAV; false
// for any other extension.
bool FormatOfPath(const std::string& path, AudioFormat* format);

// Empty when this build can write `format` at `rate`; otherwise why not,
// naming the rates it takes.
std::string CheckFormat(AudioFormat format, int rate);

// Samples in, a file out. The sink's Write fails with `error()` set.
class AudioWriter : public SampleSink {
 public:
  // `knownSamples` >= 0 when the length is known before the first sample
  // (a WAV header written to a pipe then carries true sizes); -1 when not.
  static std::unique_ptr<AudioWriter> Create(AudioFormat format, int rate, std::int64_t knownSamples,
                                             OutputFile* out, std::string* error);
  // Completes the file (the WAV header's sizes, the encoder's last frames).
  virtual bool Finish() = 0;
  const std::string& error() const { return error_; }

 protected:
  std::string error_;
};

}  // namespace tolvane::tool

#endif  // TOLVANE_TOOLS_AUDIO_OUTPUT_H
