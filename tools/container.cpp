#include "container.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "wav/wav.h"

namespace tolvane::tool {
namespace {

// Chunks looked at before giving up on finding the data.
constexpr int kMaxChunks = 256;
constexpr std::uint64_t kFar = std::uint64_t{1} << 62;

const unsigned char kW64Riff[16] = {0x72, 0x69, 0x66, 0x66, 0x2E, 0x91, 0xCF, 0x11,
                                    0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00};
const unsigned char kW64Tail[12] = {0xF3, 0xAC, 0xD3, 0x11, 0x8C, 0xD1, 0x00, 0xC0, 0x4F, 0x8E, 0xDB, 0x8A};

bool ReadAt(ByteReader* in, std::uint64_t at, unsigned char* out, std::size_t n) {
  return at < kFar && in->Seek(static_cast<std::int64_t>(at), SEEK_SET) && in->Read(out, n) == n;
}

std::uint64_t Get(const unsigned char* p, int n, bool big) {
  std::uint64_t v = 0;
  for (int i = 0; i < n; ++i) v |= std::uint64_t{p[big ? i : n - 1 - i]} << (8 * (n - 1 - i));
  return v;
}
std::uint16_t U16(const unsigned char* p, bool big = false) { return static_cast<std::uint16_t>(Get(p, 2, big)); }
std::uint32_t U32(const unsigned char* p, bool big = false) { return static_cast<std::uint32_t>(Get(p, 4, big)); }

// The fields of a WAV or Wave64 format chunk's body.
void Format(const unsigned char* body, std::size_t size, bool big, Container* c) {
  if (size < 16) return;
  c->formatTag = U16(body, big);
  c->channels = U16(body + 2, big);
  c->sampleRate = U32(body + 4, big);
  c->bitsPerSample = U16(body + 14, big);
  if (c->formatTag == 0xFFFE && size >= 26) c->formatTag = U16(body + 24, big);  // the subformat
}

void Exact(Container* c, std::uint64_t offset, std::uint64_t declared, std::uint32_t frameBytes) {
  c->dataOffset = offset;
  c->declaredBytes = declared;
  c->frameBytes = frameBytes;
  c->exact = frameBytes > 0;
}

void Wav(ByteReader* in, bool big, bool rf64, Container* c) {
  std::uint64_t pos = 12;
  std::uint64_t size64 = 0;
  for (int i = 0; i < kMaxChunks; ++i) {
    unsigned char head[8];
    if (!ReadAt(in, pos, head, 8)) return;
    const std::uint32_t size = U32(head + 4, big);
    unsigned char body[40] = {};
    const std::size_t want = size < sizeof body ? size : sizeof body;
    if (std::memcmp(head, "fmt ", 4) == 0 && ReadAt(in, pos + 8, body, want)) Format(body, want, big, c);
    if (std::memcmp(head, "ds64", 4) == 0 && rf64 && ReadAt(in, pos + 8, body, 16)) size64 = Get(body + 8, 8, false);
    if (std::memcmp(head, "data", 4) == 0) {
      c->dataSizeAt = static_cast<std::int64_t>(pos + 4);
      c->dataSize32 = size;
      const std::uint32_t width = c->formatTag == 6 || c->formatTag == 7 ? 1u : (c->bitsPerSample + 7u) / 8u;
      const bool linear = c->formatTag == 1 || c->formatTag == 3 || c->formatTag == 6 || c->formatTag == 7;
      Exact(c, pos + 8, rf64 && size == 0xFFFFFFFF ? size64 : size, linear ? width * c->channels : 0);
      return;
    }
    pos += 8 + std::uint64_t{size};  // no pad byte, as the library's reader walks
  }
}

void Wave64(ByteReader* in, Container* c) {
  std::uint64_t pos = 40;
  for (int i = 0; i < kMaxChunks; ++i) {
    unsigned char head[24];
    if (!ReadAt(in, pos, head, 24) || std::memcmp(head + 4, kW64Tail, 12) != 0) return;
    const std::uint64_t size = Get(head + 16, 8, false);
    if (size < 24) return;
    unsigned char body[40] = {};
    const std::size_t want = size - 24 < sizeof body ? static_cast<std::size_t>(size - 24) : sizeof body;
    if (std::memcmp(head, "fmt ", 4) == 0 && ReadAt(in, pos + 24, body, want)) Format(body, want, false, c);
    if (std::memcmp(head, "data", 4) == 0) {
      const bool linear = c->formatTag == 1 || c->formatTag == 3;
      Exact(c, pos + 24, size - 24, linear ? (c->bitsPerSample + 7u) / 8u * c->channels : 0);
      return;
    }
    if (size >= kFar) return;
    pos += (size + 7) & ~std::uint64_t{7};
  }
}

void Aiff(ByteReader* in, bool aifc, Container* c) {
  std::uint64_t pos = 12;
  std::uint32_t frameBytes = 0;
  for (int i = 0; i < kMaxChunks; ++i) {
    unsigned char head[8];
    if (!ReadAt(in, pos, head, 8)) return;
    const std::uint32_t size = U32(head + 4, true);
    unsigned char body[22] = {};
    if (std::memcmp(head, "COMM", 4) == 0 && size >= 18 && ReadAt(in, pos + 8, body, aifc && size >= 22 ? 22 : 18)) {
      c->channels = U16(body, true);
      c->bitsPerSample = U16(body + 6, true);
      std::uint32_t width = (c->bitsPerSample + 7u) / 8u;
      if (aifc && size >= 22) {
        const char* type = reinterpret_cast<const char*>(body + 18);
        const bool linear = !std::memcmp(type, "NONE", 4) || !std::memcmp(type, "sowt", 4) ||
                            !std::memcmp(type, "twos", 4) || !std::memcmp(type, "raw ", 4);
        if (!std::memcmp(type, "fl32", 4) || !std::memcmp(type, "FL32", 4)) width = 4;
        else if (!std::memcmp(type, "fl64", 4) || !std::memcmp(type, "FL64", 4)) width = 8;
        else if (!std::memcmp(type, "ulaw", 4) || !std::memcmp(type, "ULAW", 4) || !std::memcmp(type, "alaw", 4) ||
                 !std::memcmp(type, "ALAW", 4)) width = 1;
        else if (!linear) width = 0;  // compressed: no exact count
      }
      frameBytes = width * c->channels;
    }
    if (std::memcmp(head, "SSND", 4) == 0 && size >= 8 && ReadAt(in, pos + 8, body, 8)) {
      const std::uint32_t offset = U32(body, true);
      if (offset <= size - 8) Exact(c, pos + 16 + offset, size - 8 - offset, frameBytes);
      return;
    }
    pos += 8 + std::uint64_t{size} + (size & 1);
  }
}

void Caf(ByteReader* in, Container* c) {
  std::uint64_t pos = 8;
  std::uint32_t frameBytes = 0;
  for (int i = 0; i < kMaxChunks; ++i) {
    unsigned char head[12];
    if (!ReadAt(in, pos, head, 12)) return;
    const std::uint64_t size = Get(head + 4, 8, true);
    unsigned char body[32];
    if (std::memcmp(head, "desc", 4) == 0 && size >= 32 && ReadAt(in, pos + 12, body, 32)) {
      const bool linear = !std::memcmp(body + 8, "lpcm", 4) || !std::memcmp(body + 8, "ulaw", 4) ||
                          !std::memcmp(body + 8, "alaw", 4);
      c->channels = static_cast<std::uint16_t>(U32(body + 24, true));
      c->bitsPerSample = static_cast<std::uint16_t>(U32(body + 28, true));
      frameBytes = linear && U32(body + 20, true) == 1 ? U32(body + 16, true) : 0;
    }
    if (std::memcmp(head, "data", 4) == 0) {
      // A size of -1 runs to the end of the file: nothing to check.
      if (size >= 4 && size <= std::uint64_t{INT64_MAX}) Exact(c, pos + 16, size - 4, frameBytes);
      return;
    }
    if (size >= kFar) return;
    pos += 12 + size;
  }
}

}  // namespace

bool Container::LibraryWav() const {
  return kind == kWav && riff && formatTag == 1 && channels == 1 && sampleRate == kSampleRate && bitsPerSample == 16;
}

bool Container::Placeholder() const {
  return kind == kWav && (dataSize32 == 0 || dataSize32 >= 0x7FFFF000u);
}

bool Container::StreamReadable() const { return kind != kUnknown; }

const char* KindName(Container::Kind kind) {
  switch (kind) {
    case Container::kWav: return "WAV";
    case Container::kWave64: return "Wave64";
    case Container::kAiff: return "AIFF";
    case Container::kCaf: return "CAF";
    case Container::kAu: return "AU";
    case Container::kFlac: return "FLAC";
    case Container::kOgg: return "Ogg";
    case Container::kMp3: return "MP3";
    case Container::kUnknown: break;
  }
  return nullptr;
}

Container Sniff(ByteReader* in) {
  Container c;
  unsigned char head[40] = {};
  const std::size_t got = in->Read(head, sizeof head);
  const bool riff = !std::memcmp(head, "RIFF", 4) || !std::memcmp(head, "RIFX", 4) || !std::memcmp(head, "RF64", 4);
  if (got >= 12 && riff && !std::memcmp(head + 8, "WAVE", 4)) {
    c.kind = Container::kWav;
    c.riff = !std::memcmp(head, "RIFF", 4);
    Wav(in, head[3] == 'X', head[0] == 'R' && head[1] == 'F', &c);
  } else if (got >= 40 && !std::memcmp(head, kW64Riff, 16) && !std::memcmp(head + 24, "wave", 4)) {
    c.kind = Container::kWave64;
    Wave64(in, &c);
  } else if (got >= 12 && !std::memcmp(head, "FORM", 4) && (!std::memcmp(head + 8, "AIFF", 4) || !std::memcmp(head + 8, "AIFC", 4))) {
    c.kind = Container::kAiff;
    Aiff(in, head[11] == 'C', &c);
  } else if (got >= 8 && !std::memcmp(head, "caff", 4)) {
    c.kind = Container::kCaf;
    Caf(in, &c);
  } else if (got >= 4 && (!std::memcmp(head, ".snd", 4) || !std::memcmp(head, "dns.", 4))) {
    c.kind = Container::kAu;
  } else if (got >= 4 && !std::memcmp(head, "fLaC", 4)) {
    c.kind = Container::kFlac;
  } else if (got >= 4 && !std::memcmp(head, "OggS", 4)) {
    c.kind = Container::kOgg;
  } else if (got >= 3 && (!std::memcmp(head, "ID3", 3) || (head[0] == 0xFF && (head[1] & 0xE0) == 0xE0))) {
    c.kind = Container::kMp3;
  }
  in->Seek(0, SEEK_SET);
  in->ClearMisses();
  return c;
}

}  // namespace tolvane::tool
