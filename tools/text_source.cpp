#include "text_source.h"

#include <cerrno>
#include <cstring>

#include "morse/morse.h"

namespace tolvane::tool {

bool StringSource::Next(std::string* block, bool* end, std::string*) {
  block->clear();
  if (!given_) block->swap(text_);
  given_ = true;
  *end = block->empty();
  return true;
}

FileSource::~FileSource() {
  if (owned_) std::fclose(file_);
}

bool FileSource::Open(const std::string& path, std::string* error) {
  if (path == "-") {
    file_ = stdin;
    return true;
  }
  file_ = std::fopen(path.c_str(), "rb");
  if (file_ == nullptr) {
    *error = "cannot open: " + std::string(std::strerror(errno));
    return false;
  }
  owned_ = true;
  return true;
}

bool FileSource::Next(std::string* block, bool* end, std::string* error) {
  block->resize(1 << 16);
  const std::size_t n = std::fread(&(*block)[0], 1, block->size(), file_);
  block->resize(n);
  if (n == 0 && std::ferror(file_)) {
    *error = "cannot read: " + std::string(std::strerror(errno != 0 ? errno : EIO));
    return false;
  }
  *end = n == 0;
  return true;
}

// splitmix64: small, fast and the same everywhere, unlike the standard
// library's distributions.
std::uint64_t KochGroups::Random() {
  std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

bool KochGroups::Next(std::string* block, bool* end, std::string*) {
  block->clear();
  // Keyed with whitespace collapsed, so a space after every group is one
  // word gap between them and none at the end.
  for (int g = 0; g < 1000 && left_ > 0; ++g, --left_) {
    for (int k = 0; k < 5; ++k) {
      block->push_back(kKochOrder[Random() % static_cast<std::uint64_t>(koch_)]);
    }
    block->push_back(' ');
  }
  *end = block->empty();
  return true;
}

}  // namespace tolvane::tool
