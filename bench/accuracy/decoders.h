// The one door through which the harness hands audio to a decoder.
#ifndef TOLVANE_BENCH_ACCURACY_DECODERS_H
#define TOLVANE_BENCH_ACCURACY_DECODERS_H

#include <cstdint>
#include <string>
#include <vector>

namespace accuracy {

enum class Decoder { kRobust, kBasic, kMultimon, kFldigi };

const char* DecoderName(Decoder decoder);
// Whether the decoder can run here (multimon-ng installed; fldigi's script
// present).
bool Available(Decoder decoder);

// The text `decoder` reads in `audio` (full scale +-1 at `rate` Hz).
// `pitchHz` is the wanted station's pitch when the listener knows it, 0
// otherwise; decoders that cannot be told ignore it.
std::string Decode(Decoder decoder, const std::vector<float>& audio, double rate, double pitchHz = 0);

// 16-bit samples at 8000 Hz, as the library's recognisers take them.
std::vector<std::int16_t> ToPcm8000(const std::vector<float>& audio, double rate);
bool WriteWav(const std::string& path, const std::vector<std::int16_t>& samples, std::uint32_t rate);

}  // namespace accuracy

#endif  // TOLVANE_BENCH_ACCURACY_DECODERS_H
