#include "audio_input.h"

namespace tolvane::tool {

bool ReadAll(std::FILE* in, std::string* out) {
  char buffer[1 << 16];
  std::size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, in)) > 0) out->append(buffer, n);
  return std::ferror(in) == 0;
}

}  // namespace tolvane::tool
