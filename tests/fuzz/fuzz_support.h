// Shared by the fuzz harnesses.
#ifndef TOLVANE_TESTS_FUZZ_FUZZ_SUPPORT_H
#define TOLVANE_TESTS_FUZZ_FUZZ_SUPPORT_H

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace tolvane::fuzz {

// A stdio stream whose bytes end up in memory, for writers that take a
// FILE*: open_memstream where there is one, an anonymous temporary file
// elsewhere (Windows, where the corpus replays under Wine).
class MemoryStream {
 public:
  MemoryStream() {
#if defined(_WIN32)
    file_ = std::tmpfile();
#else
    file_ = open_memstream(&buffer_, &size_);
#endif
  }
  ~MemoryStream() {
    if (file_ != nullptr) std::fclose(file_);
    std::free(buffer_);
  }
  MemoryStream(const MemoryStream&) = delete;
  MemoryStream& operator=(const MemoryStream&) = delete;

  std::FILE* file() const { return file_; }

  // Everything written so far.
  std::vector<unsigned char> Bytes() {
    std::fflush(file_);
#if defined(_WIN32)
    std::vector<unsigned char> out;
    std::rewind(file_);
    unsigned char block[65536];
    for (std::size_t n; (n = std::fread(block, 1, sizeof block, file_)) > 0;) out.insert(out.end(), block, block + n);
    std::fseek(file_, 0, SEEK_END);
    return out;
#else
    // Copied as bytes, not converted char by char (see replay_main.cpp).
    std::vector<unsigned char> out(size_);
    if (size_ > 0) std::memcpy(out.data(), buffer_, size_);
    return out;
#endif
  }

 private:
  std::FILE* file_ = nullptr;
  char* buffer_ = nullptr;
  std::size_t size_ = 0;
};

// Stops the run so the fuzzer keeps the input.
[[noreturn]] inline void Violated(const char* what) {
  std::fprintf(stderr, "invariant violated: %s\n", what);
  std::abort();
}

}  // namespace tolvane::fuzz

#endif  // TOLVANE_TESTS_FUZZ_FUZZ_SUPPORT_H
