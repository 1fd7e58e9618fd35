#include "event_output.h"

namespace tolvane::tool {
namespace {

std::string Number(const char* format, double value) {
  char text[48];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

}  // namespace

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(u));
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

void JsonLines::Write(const std::string& line) {
  std::fputs(line.c_str(), out_);
  std::fputc('\n', out_);
  std::fflush(out_);
}

std::string JsonLines::Common(const SignalState& s) {
  std::string out = ",\"freq\":" + Number("%.1f", s.freqHz);
  if (s.hasRf) out += ",\"rf_khz\":" + Number("%.3f", s.rfKhz);
  return out + ",\"wpm\":" + Number("%.1f", s.wpm) + ",\"snr_db\":" + Number("%.1f", s.snrDb);
}

void JsonLines::Start(double rate) {
  Write("{\"type\":\"start\",\"version\":1,\"rate\":" + Number("%.0f", rate) + "}");
}

void JsonLines::Signal(const SignalState& s, const char* event) {
  Write("{\"type\":\"signal\",\"signal\":" + std::to_string(s.signal) + ",\"event\":" + JsonString(event) +
        ",\"time\":" + Number("%.3f", s.time) + Common(s) + "}");
}

void JsonLines::Text(const SignalState& s, const std::string& text, const std::string& code, double confidence) {
  std::string line = "{\"type\":\"text\",\"signal\":" + std::to_string(s.signal) + ",\"time\":" + Number("%.3f", s.time) +
                     ",\"text\":" + JsonString(text);
  if (!code.empty()) line += ",\"code\":" + JsonString(code) + ",\"confidence\":" + Number("%.2f", confidence);
  Write(line + Common(s) + "}");
}

void JsonLines::Spot(const SignalState& s, const std::string& call, const std::string& line) {
  Write("{\"type\":\"spot\",\"signal\":" + std::to_string(s.signal) + ",\"time\":" + Number("%.3f", s.time) +
        ",\"call\":" + JsonString(call) + Common(s) + ",\"line\":" + JsonString(line) + "}");
}

void JsonLines::End(double time, std::size_t characters) {
  Write("{\"type\":\"end\",\"time\":" + Number("%.3f", time) + ",\"chars\":" + std::to_string(characters) + "}");
}

}  // namespace tolvane::tool
