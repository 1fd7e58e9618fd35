#include "wav/wav.h"

namespace tolvane {
namespace {

bool WriteBytes(std::FILE* file, const void* bytes, std::size_t size) {
  return std::fwrite(bytes, 1, size, file) == size;
}

bool WriteU16(std::FILE* file, std::uint16_t value) {
  const unsigned char bytes[2] = {static_cast<unsigned char>(value & 0xFF),
                                  static_cast<unsigned char>(value >> 8)};
  return WriteBytes(file, bytes, sizeof bytes);
}

bool WriteU32(std::FILE* file, std::uint32_t value) {
  const unsigned char bytes[4] = {
      static_cast<unsigned char>(value & 0xFF), static_cast<unsigned char>((value >> 8) & 0xFF),
      static_cast<unsigned char>((value >> 16) & 0xFF), static_cast<unsigned char>(value >> 24)};
  return WriteBytes(file, bytes, sizeof bytes);
}

}  // namespace

bool WriteWavHeader(std::FILE* file, int sampleRate, int channels, int bitsPerSample,
                    std::uint32_t dataBytes) {
  const auto byteRate =
      (static_cast<std::uint32_t>(sampleRate) * static_cast<std::uint32_t>(channels) *
       static_cast<std::uint32_t>(bitsPerSample)) >> 3;
  const int blockAlign = (channels * bitsPerSample) / 8;
  // Field by field, in the order of the layout, so a failure stops at the
  // first field that does not complete.
  return WriteBytes(file, "RIFF", 4) && WriteU32(file, dataBytes + 36) &&
         WriteBytes(file, "WAVE", 4) && WriteBytes(file, "fmt ", 4) && WriteU32(file, 16) &&
         WriteU16(file, 1) && WriteU16(file, static_cast<std::uint16_t>(channels)) &&
         WriteU32(file, static_cast<std::uint32_t>(sampleRate)) && WriteU32(file, byteRate) &&
         WriteU16(file, static_cast<std::uint16_t>(blockAlign)) &&
         WriteU16(file, static_cast<std::uint16_t>(bitsPerSample)) &&
         WriteBytes(file, "data", 4) && WriteU32(file, dataBytes);
}

}  // namespace tolvane
