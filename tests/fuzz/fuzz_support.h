// Shared by the fuzz harnesses: a scratch file per process, on tmpfs when
// there is one, so every input goes through the same file code as a user's.
#ifndef TOLVANE_TESTS_FUZZ_FUZZ_SUPPORT_H
#define TOLVANE_TESTS_FUZZ_FUZZ_SUPPORT_H

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#if defined(_WIN32)
#include <process.h>
#define TOLVANE_GETPID _getpid
#else
#include <unistd.h>
#define TOLVANE_GETPID getpid
#endif

namespace tolvane::fuzz {

inline const std::string& ScratchPath() {
  static const std::string path = [] {
    std::error_code error;
    const std::string dir = std::filesystem::is_directory("/dev/shm", error)
                                ? std::string("/dev/shm")
                                : std::filesystem::temp_directory_path().generic_string();
    std::string p = dir + "/tolvane-fuzz-" + std::to_string(TOLVANE_GETPID()) + ".wav";
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
