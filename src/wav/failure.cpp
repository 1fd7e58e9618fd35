#include <cstring>
#include <string>

#include "wav/wav.h"

namespace tolvane {

std::string DescribeFailure(const DecodeFailure& failure) {
  const std::string reason = failure.sysErrno != 0 ? std::strerror(failure.sysErrno) : "";
  switch (failure.error) {
    case DecodeError::kNone: return "no error";
    case DecodeError::kOpen: return "cannot open: " + reason;
    case DecodeError::kRead: return "cannot read: " + reason;
    case DecodeError::kNotRiff: return "not a RIFF/WAVE file (no RIFF tag)";
    case DecodeError::kNotWave: return "not a RIFF/WAVE file (the form type is not WAVE)";
    case DecodeError::kFormatTooShort: return "the fmt chunk is shorter than 16 bytes";
    case DecodeError::kFormatCut: return "the file ends inside the fmt chunk";
    case DecodeError::kSeek: return "cannot seek: " + reason;
    case DecodeError::kDataBeforeFormat:
      return "the data chunk comes before the fmt chunk, which a stream cannot go back for; give it as a file";
    case DecodeError::kNoFormat: return "no fmt chunk";
    case DecodeError::kNoData: return "no data chunk";
    case DecodeError::kUnsupported: {
      const WavFormat& f = failure.format;
      std::string encoding;
      switch (f.formatTag) {
        case 1: encoding = "PCM"; break;
        case 3: encoding = "float"; break;
        case 6: encoding = "A-law"; break;
        case 7: encoding = "mu-law"; break;
        case 0xFFFE: encoding = "extensible format"; break;
        default: {
          char code[16];
          std::snprintf(code, sizeof code, "format 0x%04X", f.formatTag);
          encoding = code;
        }
      }
      return std::to_string(f.sampleRate) + " Hz, " + std::to_string(f.channels) +
             (f.channels == 1 ? " channel, " : " channels, ") + std::to_string(f.bitsPerSample) +
             "-bit " + encoding + "; need 8000 Hz, mono, 16-bit PCM";
    }
    case DecodeError::kTruncated: return "truncated: the data chunk is longer than the file";
    case DecodeError::kOutOfMemory: return "out of memory";
    case DecodeError::kNoSamples: return "the recording holds no samples";
    case DecodeError::kSilent: return "the recording is silent (every sample is zero)";
    case DecodeError::kTooQuiet:
      return "the recording is too quiet to read: its level, averaged over 8 ms, stays below 1 of 32768";
    case DecodeError::kTooLong: return "the recording is too long";
    case DecodeError::kNoTone: return "no keyed tone found";
    case DecodeError::kCannotRewind:
      return "a stream cannot be read a second time past the start that was kept; give it as a file";
  }
  return "unknown error";
}

}  // namespace tolvane
