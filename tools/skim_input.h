// Streaming input for `tolvane skim`: audio files of any format and rate
// through libsndfile (sf_open for files, virtual I/O for standard input
// and pipes, read as they arrive), or headerless samples with --raw,
// through read(2). Nothing is resampled: the skimmer takes any rate.
#ifndef TOLVANE_TOOLS_SKIM_INPUT_H
#define TOLVANE_TOOLS_SKIM_INPUT_H

#include <csignal>
#include <cstddef>
#include <memory>
#include <string>

namespace tolvane::tool {

enum class RawFormat { kS16, kU8, kF32 };

struct SkimSource {
  bool raw = false;      // headerless samples
  double rawRate = 0;
  RawFormat rawFormat = RawFormat::kS16;  // little-endian; u8 centred on 127.5 (rtl_sdr)
  bool iq = false;       // two channels (or interleaved pairs): I then Q
  // Set (by a signal handler) to end a read that is waiting for input.
  const volatile std::sig_atomic_t* stop = nullptr;
};

class SkimInput {
 public:
  SkimInput();
  ~SkimInput();
  SkimInput(const SkimInput&) = delete;
  SkimInput& operator=(const SkimInput&) = delete;

  // "-" is standard input. False, with `error` saying why in one line.
  bool Open(const std::string& path, const SkimSource& source, std::string* error);
  double rate() const;
  bool live() const;  // a pipe, a device or standard input: no end is known
  std::string description() const;
  // Up to `frames` frames (I/Q pairs for --iq, else mono, channels mixed
  // down) as floats of any scale; fewer whenever less has arrived. 0 at
  // the end; -1 on an error, with `error` set.
  long Read(float* out, std::size_t frames, std::string* error);

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// Whether this build reads audio files (it always reads --raw).
bool SkimReadsFiles();

}  // namespace tolvane::tool

#endif  // TOLVANE_TOOLS_SKIM_INPUT_H
