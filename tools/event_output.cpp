#include "event_output.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace tolvane::tool {

std::string AudioClock(double seconds) {
  // Tenths, rounded once, so that 59.96 s is 00:01:00.0 and not 00:00:60.0.
  const auto tenths = static_cast<long long>(std::llround(std::max(0.0, seconds) * 10));
  char buffer[48];
  std::snprintf(buffer, sizeof buffer, "%02lld:%02lld:%02lld.%lld", tenths / 36000, tenths / 600 % 60,
                tenths / 10 % 60, tenths % 10);
  return buffer;
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", u);
      out += escape;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

EventWriter::EventWriter(std::FILE* out, const EventOutputOptions& options) : out_(out), options_(options) {}

bool EventWriter::Put(const std::string& text) {
  if (!ok_) return false;
  // Flushed at once: a reader of a pipe sees each character as it is decided.
  if (std::fputs(text.c_str(), out_) == EOF || std::fflush(out_) != 0) ok_ = false;
  return ok_;
}

bool EventWriter::Start(double rate) {
  if (!options_.json) return true;
  char line[96];
  std::snprintf(line, sizeof line, "{\"type\":\"start\",\"version\":1,\"rate\":%.0f}\n", rate);
  return Put(line);
}

bool EventWriter::Write(const RobustEvent& e, int signal) {
  lastTime_ = std::max(lastTime_, e.time);
  if (e.lineEnd || e.wordGap) {
    if (!lineOpen_) return ok_;
    if (!spacePending_ && !lineEndPending_) gapTime_ = e.time;
    (e.lineEnd ? lineEndPending_ : spacePending_) = true;
    return ok_;
  }
  std::string out;
  if (options_.json) {
    char head[128];
    if (spacePending_ || lineEndPending_) {
      // The word gap, at the time it began.
      std::snprintf(head, sizeof head, "{\"type\":\"text\",\"signal\":%d,\"time\":%.3f,\"text\":\" \"}\n", signal,
                    gapTime_);
      out += head;
    }
    char line[320];
    std::snprintf(line, sizeof line,
                  "{\"type\":\"text\",\"signal\":%d,\"time\":%.3f,\"text\":%s,\"code\":%s,\"confidence\":%.2f,"
                  "\"freq\":%.1f,\"wpm\":%.1f,\"snr_db\":%.1f}\n",
                  signal, e.time, JsonString(e.text).c_str(), JsonString(e.code).c_str(),
                  static_cast<double>(e.confidence), static_cast<double>(e.pitchHz), static_cast<double>(e.wpm),
                  static_cast<double>(e.snrDb));
    out += line;
  } else {
    if (lineEndPending_) {
      out += '\n';
      lineOpen_ = false;
    } else if (spacePending_) {
      out += ' ';
    }
    if (!lineOpen_ && options_.timestamps) out += AudioClock(e.start) + " ";
    out += e.text;
  }
  spacePending_ = false;
  lineEndPending_ = false;
  lineOpen_ = true;
  ++characters_;
  return Put(out);
}

bool EventWriter::End(double seconds) {
  if (options_.json) {
    char line[96];
    std::snprintf(line, sizeof line, "{\"type\":\"end\",\"time\":%.3f,\"chars\":%zu}\n", std::max(seconds, lastTime_),
                  characters_);
    return Put(line);
  }
  if (lineOpen_) {
    lineOpen_ = false;
    return Put("\n");
  }
  return ok_;
}

}  // namespace tolvane::tool
