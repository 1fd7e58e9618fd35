// Shared by the fuzz harnesses: a scratch file per process, on tmpfs when
// there is one, so every input goes through the same file code as a user's.
#ifndef TOLVANE_TESTS_FUZZ_FUZZ_SUPPORT_H
#define TOLVANE_TESTS_FUZZ_FUZZ_SUPPORT_H

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace tolvane::fuzz {

inline const std::string& ScratchPath() {
  static const std::string path = [] {
    const char* dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string p = std::string(dir) + "/tolvane-fuzz-" + std::to_string(getpid()) + ".wav";
    std::atexit([] { std::remove(ScratchPath().c_str()); });
    return p;
  }();
  return path;
}

inline bool WriteScratch(const void* data, std::size_t size) {
  std::FILE* file = std::fopen(ScratchPath().c_str(), "wb");
  if (file == nullptr) return false;
  const bool ok = size == 0 || std::fwrite(data, 1, size, file) == size;
  return std::fclose(file) == 0 && ok;
}

// Stops the run so the fuzzer keeps the input.
[[noreturn]] inline void Violated(const char* what) {
  std::fprintf(stderr, "invariant violated: %s\n", what);
  std::abort();
}

}  // namespace tolvane::fuzz

#endif  // TOLVANE_TESTS_FUZZ_FUZZ_SUPPORT_H
