// Builds RIFF/WAVE files byte by byte, so tests can write the odd ones.
#ifndef TOLVANE_TESTS_SUPPORT_WAV_BYTES_H
#define TOLVANE_TESTS_SUPPORT_WAV_BYTES_H

#include <cstdint>
#include <string>
#include <vector>

namespace tolvane::test {

using Bytes = std::vector<unsigned char>;

inline void PutU16(Bytes* out, std::uint32_t value) {
  out->push_back(static_cast<unsigned char>(value & 0xFF));
  out->push_back(static_cast<unsigned char>((value >> 8) & 0xFF));
}

inline void PutU32(Bytes* out, std::uint32_t value) {
  PutU16(out, value & 0xFFFF);
  PutU16(out, value >> 16);
}

inline void PutTag(Bytes* out, const std::string& tag) {
  for (char c : tag) out->push_back(static_cast<unsigned char>(c));
}

// A chunk whose declared size is the body's unless `declared` is given.
inline Bytes Chunk(const std::string& id, const Bytes& body, std::int64_t declared = -1) {
  Bytes out;
  PutTag(&out, id);
  PutU32(&out, static_cast<std::uint32_t>(declared >= 0 ? declared : static_cast<std::int64_t>(body.size())));
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

inline Bytes FormatBody(std::uint32_t tag = 1, std::uint32_t channels = 1, std::uint32_t rate = 8000,
                        std::uint32_t bits = 16) {
  Bytes out;
  PutU16(&out, tag);
  PutU16(&out, channels);
  PutU32(&out, rate);
  PutU32(&out, rate * channels * bits / 8);
  PutU16(&out, channels * bits / 8);
  PutU16(&out, bits);
  return out;
}

inline Bytes SampleBytes(const std::vector<std::int16_t>& samples) {
  Bytes out;
  for (std::int16_t s : samples) PutU16(&out, static_cast<std::uint16_t>(s));
  return out;
}

// "RIFF", a size, "WAVE" and the chunks as given.
inline Bytes Riff(const std::vector<Bytes>& chunks, const std::string& form = "WAVE") {
  Bytes body;
  PutTag(&body, form);
  for (const Bytes& c : chunks) body.insert(body.end(), c.begin(), c.end());
  Bytes out;
  PutTag(&out, "RIFF");
  PutU32(&out, static_cast<std::uint32_t>(body.size()));
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

// A plain 8000 Hz 16-bit mono file of `samples`.
inline Bytes PcmWav(const std::vector<std::int16_t>& samples) {
  return Riff({Chunk("fmt ", FormatBody()), Chunk("data", SampleBytes(samples))});
}

}  // namespace tolvane::test

#endif  // TOLVANE_TESTS_SUPPORT_WAV_BYTES_H
