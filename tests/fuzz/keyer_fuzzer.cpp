// Any text at any unit through the keyer: what it writes must load back with
// exactly the sample count it announced, in a file of exactly that size.
#include <cstdint>
#include <cstdio>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "keyer/keyer.h"
#include "recogniser/recogniser.h"

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
  const std::string& path = fuzz::ScratchPath();
  std::remove(path.c_str());
  KeyFailure why;
  if (u < 1 || announced > (1u << 22)) {
    // Too long to write here: only refusals may come back, and nothing may
    // be created for them.
    if (u < 1 || announced > kMaxWavSamples) {
      if (KeyTextToWavSamples(text, path.c_str(), u, &why)) fuzz::Violated("keyed a refused text");
      if (why.error != (u < 1 ? KeyError::kBadUnit : KeyError::kTooLong)) fuzz::Violated("wrong refusal");
      if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
        std::fclose(f);
        fuzz::Violated("a refused call created a file");
      }
    }
    return 0;
  }
  if (!KeyTextToWavSamples(text, path.c_str(), u, &why)) fuzz::Violated("keying failed");

  std::unique_ptr<std::int16_t[]> samples;
  int rate = 0;
  std::size_t count = 0;
  if (!LoadWavSamples(path.c_str(), &samples, &rate, &count)) fuzz::Violated("keyed file does not load");
  if (count != announced) fuzz::Violated("sample count differs from CountSamples");
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr || std::fseek(file, 0, SEEK_END) != 0) fuzz::Violated("cannot reopen");
  const long bytes = std::ftell(file);
  std::fclose(file);
  if (bytes != static_cast<long>(44 + 2 * announced)) fuzz::Violated("file size differs from the header");
  return 0;
}
