// Any text at any unit through the keyer: what it writes must load back with
// exactly the sample count it announced, in exactly that many bytes.
#include <cstdint>
#include <cstdio>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "keyer/keyer.h"
#include "wav/wav.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tolvane;
  if (size < 2) return 0;
  // Units up to 64 samples keep each file small; 0 and the huge units below
  // probe the refusals.
  const int selector = data[0] | data[1] << 8;
  const std::string_view text(reinterpret_cast<const char*>(data + 2), size - 2);
  std::int64_t u = selector % 65;
  if (selector >= 0xFF00) u = static_cast<std::int64_t>(selector & 0xFF) << 24;

  const std::uint64_t announced = CountSamples(text, u);
  fuzz::MemoryStream out;
  if (out.file() == nullptr) return 0;
  KeyFailure why;
  if (u < 1 || announced > (1u << 22)) {
    // Too long to write here: only refusals may come back, and nothing may
    // be written for them.
    if (u < 1 || announced > kMaxWavSamples) {
      if (KeyTextToStream(text, out.file(), u, &why)) fuzz::Violated("keyed a refused text");
      if (why.error != (u < 1 ? KeyError::kBadUnit : KeyError::kTooLong)) fuzz::Violated("wrong refusal");
      if (!out.Bytes().empty()) fuzz::Violated("a refused call wrote something");
    }
    return 0;
  }
  if (!KeyTextToStream(text, out.file(), u, &why)) fuzz::Violated("keying failed");

  const std::vector<unsigned char> bytes = out.Bytes();
  if (bytes.size() != 44 + 2 * announced) fuzz::Violated("size differs from the header");
  std::unique_ptr<std::int16_t[]> samples;
  int rate = 0;
  std::size_t count = 0;
  if (!LoadWavSamples(bytes.data(), bytes.size(), &samples, &rate, &count)) {
    fuzz::Violated("keyed file does not load");
  }
  if (count != announced) fuzz::Violated("sample count differs from CountSamples");
  return 0;
}
