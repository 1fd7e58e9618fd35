// Where `tolvane encode` gets its text: the command line, a file or
// standard input read in blocks, or random groups for practice.
#ifndef TOLVANE_TOOLS_TEXT_SOURCE_H
#define TOLVANE_TOOLS_TEXT_SOURCE_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>

namespace tolvane::tool {

class TextSource {
 public:
  virtual ~TextSource() = default;
  // The next block into `block` (empty only at the end: `*end` set). False
  // with `error` set when reading fails.
  virtual bool Next(std::string* block, bool* end, std::string* error) = 0;
};

// The whole text at once.
class StringSource : public TextSource {
 public:
  explicit StringSource(std::string text) : text_(std::move(text)) {}
  bool Next(std::string* block, bool* end, std::string* error) override;

 private:
  std::string text_;
  bool given_ = false;
};

// A file or standard input ("-"), 64 KiB at a time.
class FileSource : public TextSource {
 public:
  ~FileSource() override;
  // False with `error` set when the file cannot be opened.
  bool Open(const std::string& path, std::string* error);
  bool Next(std::string* block, bool* end, std::string* error) override;

 private:
  std::FILE* file_ = nullptr;
  bool owned_ = false;
};

// `groups` groups of five characters drawn from the first `koch`
// characters of the Koch order, separated by spaces. The same seed gives
// the same groups on every platform.
class KochGroups : public TextSource {
 public:
  KochGroups(std::int64_t groups, int koch, std::uint64_t seed) : left_(groups), koch_(koch), state_(seed) {}
  bool Next(std::string* block, bool* end, std::string* error) override;

 private:
  std::uint64_t Random();

  std::int64_t left_;
  int koch_;
  std::uint64_t state_;
};

}  // namespace tolvane::tool

#endif  // TOLVANE_TOOLS_TEXT_SOURCE_H
