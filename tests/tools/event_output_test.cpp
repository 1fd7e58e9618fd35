// The decoder's output formats: what a reader of a pipe sees, event by event.
#include "event_output.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace tolvane::tool {
namespace {

RobustEvent Char(const char* text, double start, double end, const char* code = ".") {
  RobustEvent e;
  e.text = text;
  e.code = code;
  e.start = start;
  e.time = end;
  e.confidence = 0.97f;
  e.pitchHz = 601.2f;
  e.wpm = 21.5f;
  e.snrDb = 14.2f;
  return e;
}
RobustEvent Gap(double at) {
  RobustEvent e;
  e.wordGap = true;
  e.text = " ";
  e.start = e.time = at;
  return e;
}
RobustEvent LineEnd(double at) {
  RobustEvent e;
  e.lineEnd = true;
  e.start = e.time = at;
  return e;
}

std::string Written(const EventOutputOptions& options, const std::vector<RobustEvent>& events, double end) {
  std::FILE* f = std::tmpfile();
  EventWriter w(f, options);
  w.Start(8000);
  for (const RobustEvent& e : events) w.Write(e);
  w.End(end);
  std::rewind(f);
  std::string out;
  for (int c = std::fgetc(f); c != EOF; c = std::fgetc(f)) out += static_cast<char>(c);
  std::fclose(f);
  return out;
}

TEST(EventWriter, TextLinesSpacesAndStamps) {
  const std::vector<RobustEvent> twoTransmissions = {
      Gap(0.1),  Char("C", 1, 1.2), Char("Q", 1.3, 1.6), Gap(1.7), Char("K", 2, 2.3), Gap(2.4),
      LineEnd(2.3), Gap(9), Char("7", 3661.25, 3661.5), Char("<SK>", 3662, 3662.4, "...-.-"), Gap(3663)};
  struct Case {
    const char* name;
    EventOutputOptions options;
    std::vector<RobustEvent> events;
    std::string want;
  } cases[] = {
      {"plain", {}, twoTransmissions, "CQ K\n7<SK>\n"},
      {"stamped", {false, true}, twoTransmissions, "00:00:01.0 CQ K\n01:01:01.3 7<SK>\n"},
      {"nothing decided", {}, {Gap(1), LineEnd(2)}, ""},
      {"a line end with no text after it", {}, {Char("E", 0, 0.1), LineEnd(0.2)}, "E\n"},
      {"tenths rounded once", {false, true}, {Char("E", 59.96, 60)}, "00:01:00.0 E\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(Written(c.options, c.events, 5000), c.want) << c.name;
}

TEST(EventWriter, JsonLinesSchema) {
  const std::string got = Written({true, false}, {Gap(0.5), Char("C", 11, 12.34, "-.-."), Gap(12.5), LineEnd(12.6),
                                              Char("\"", 13, 13.5, ".-..-.")},
                              20);
  EXPECT_EQ(got,
            "{\"type\":\"start\",\"version\":1,\"rate\":8000}\n"
            "{\"type\":\"text\",\"signal\":0,\"time\":12.340,\"text\":\"C\",\"code\":\"-.-.\",\"confidence\":0.97,"
            "\"freq\":601.2,\"wpm\":21.5,\"snr_db\":14.2}\n"
            "{\"type\":\"text\",\"signal\":0,\"time\":12.500,\"text\":\" \"}\n"
            "{\"type\":\"text\",\"signal\":0,\"time\":13.500,\"text\":\"\\\"\",\"code\":\".-..-.\",\"confidence\":0.97,"
            "\"freq\":601.2,\"wpm\":21.5,\"snr_db\":14.2}\n"
            "{\"type\":\"end\",\"time\":20.000,\"chars\":2}\n");
}

TEST(EventWriter, JsonStringEscapes) {
  EXPECT_EQ(JsonString("a\"b\\c\n\x01"), "\"a\\\"b\\\\c\\u000a\\u0001\"");
}

TEST(EventWriter, AWriteFailureIsRemembered) {
  std::FILE* f = std::fopen("/dev/full", "w");
  if (f == nullptr) GTEST_SKIP() << "no /dev/full here";
  EventWriter w(f, {});
  EXPECT_FALSE(w.Write(Char("E", 0, 0.1)));
  EXPECT_FALSE(w.ok());
  std::fclose(f);
}

}  // namespace
}  // namespace tolvane::tool
