// Small helpers shared by the tests: a scratch directory and whole-file I/O.
#ifndef TOLVANE_TESTS_SUPPORT_TEST_SUPPORT_H
#define TOLVANE_TESTS_SUPPORT_TEST_SUPPORT_H

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <system_error>
#include <vector>

namespace tolvane::test {

// A fresh directory in the system's temporary directory, removed with
// everything in it at the end.
class TempDir {
 public:
  TempDir() {
    namespace fs = std::filesystem;
    std::random_device random;
    for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
      const fs::path candidate = fs::temp_directory_path() / ("tolvane-test-" + std::to_string(random()));
      std::error_code error;
      if (fs::create_directory(candidate, error)) path_ = candidate.generic_string();
    }
  }
  ~TempDir() {
    std::error_code error;
    if (!path_.empty()) std::filesystem::remove_all(path_, error);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  std::string File(const std::string& name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

inline bool FileExists(const std::string& path) {
  std::error_code error;
  return std::filesystem::exists(path, error);
}

inline std::vector<unsigned char> ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::string read{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  // Copied as bytes: converting each char would change the sign of half of
  // them, which clang's -fsanitize=implicit-conversion reports.
  std::vector<unsigned char> bytes(read.size());
  if (!read.empty()) std::memcpy(bytes.data(), read.data(), read.size());
  return bytes;
}

inline void WriteBytes(const std::string& path, const std::vector<unsigned char>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The samples after a 44-byte header, little-endian.
inline std::vector<std::int16_t> SamplesAfterHeader(const std::vector<unsigned char>& file) {
  std::vector<std::int16_t> samples;
  for (std::size_t i = 44; i + 1 < file.size(); i += 2) {
    samples.push_back(static_cast<std::int16_t>(file[i] | (file[i + 1] << 8)));
  }
  return samples;
}

inline std::uint32_t U32At(const std::vector<unsigned char>& bytes, std::size_t offset) {
  return static_cast<std::uint32_t>(bytes[offset]) | static_cast<std::uint32_t>(bytes[offset + 1]) << 8 |
         static_cast<std::uint32_t>(bytes[offset + 2]) << 16 |
         static_cast<std::uint32_t>(bytes[offset + 3]) << 24;
}

inline std::uint16_t U16At(const std::vector<unsigned char>& bytes, std::size_t offset) {
  return static_cast<std::uint16_t>(bytes[offset] | bytes[offset + 1] << 8);
}

// `arg` as one word of a shell command line.
inline std::string ShellQuote(const std::string& arg) {
  std::string quoted = "'";
  for (char c : arg) quoted += (c == '\'') ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// A command's standard output, standard error and exit code (-1 when it
// did not exit).
struct CommandResult {
  int exitCode;
  std::string out;
  std::string err;
};

}  // namespace tolvane::test

#endif  // TOLVANE_TESTS_SUPPORT_TEST_SUPPORT_H
