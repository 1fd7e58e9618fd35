// Writing decided characters as they come: plain text, one line per
// transmission (optionally stamped with its start), or JSON Lines that
// scripts and the skimmer share.
#ifndef TOLVANE_TOOLS_EVENT_OUTPUT_H
#define TOLVANE_TOOLS_EVENT_OUTPUT_H

#include <cstddef>
#include <cstdio>
#include <string>

#include "robust/robust.h"

namespace tolvane::tool {

struct EventOutputOptions {
  bool json = false;
  bool timestamps = false;  // text: each line starts with its audio time, HH:MM:SS.s
};

// "HH:MM:SS.s" for a time in seconds of audio.
std::string AudioClock(double seconds);

// A string as a JSON string literal, quotes included.
std::string JsonString(const std::string& text);

class EventWriter {
 public:
  EventWriter(std::FILE* out, const EventOutputOptions& options);
  // The JSON start line; nothing in text.
  bool Start(double rate);
  // One event of signal `signal`, written and flushed at once. A word gap
  // or a transmission's end is written only once a character follows it,
  // so no line ends in a space and no word gap leads one.
  bool Write(const RobustEvent& event, int signal = 0);
  // Ends the open line, and in JSON writes the end line.
  bool End(double seconds);
  std::size_t characters() const { return characters_; }
  // False once a write failed (a closed pipe, a full disk): errno says why.
  bool ok() const { return ok_; }

 private:
  bool Put(const std::string& text);

  std::FILE* out_;
  EventOutputOptions options_;
  bool ok_ = true;
  bool lineOpen_ = false;
  bool spacePending_ = false;
  bool lineEndPending_ = false;
  std::size_t characters_ = 0;
  double lastTime_ = 0;
  double gapTime_ = 0;  // where the pending word gap began
};

}  // namespace tolvane::tool

#endif  // TOLVANE_TOOLS_EVENT_OUTPUT_H
