// `tolvane skim` as a user runs it: a file or a pipe of a small band in,
// its lines, JSON and spots out.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sim/sim.h"
#include "spots.h"
#include "support/test_support.h"
#include "wav/wav.h"

namespace tolvane {
namespace {

using test::TempDir;

struct Result {
  int exitCode;
  std::string out;
  std::string err;
};

Result RunSkim(const TempDir& dir, const std::string& args, const std::string& stdinFile = "/dev/null") {
  const std::string command = std::string(TOLVANE_TOOL_RUNNER) + " '" + TOLVANE_TOOL + "' skim " + args + " <'" +
                              stdinFile + "' >'" + dir.File("out") + "' 2>'" + dir.File("err") + "'";
  const int status = std::system(command.c_str());
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, test::ReadText(dir.File("out")), test::ReadText(dir.File("err"))};
}

// Two CQ callers 150 Hz apart over noise, and a carrier between them.
sim::Rendered TwoCallers() {
  sim::Scenario s;
  s.seed = 11;
  s.trailS = 2;
  const char* texts[] = {"CQ CQ DE DL1ABC DL1ABC K|CQ TEST DL1ABC DL1ABC", "CQ CQ DE G4XYZ G4XYZ K|CQ TEST G4XYZ G4XYZ",
                         "T"};
  const double pitches[] = {700, 850, 1100};
  const double wpms[] = {22, 28, 0.1};
  for (int i = 0; i < 3; ++i) {
    sim::Station st;
    st.text = texts[i];
    st.fist.wpm = wpms[i];
    st.fist.pauseMinS = 1;
    st.fist.pauseMaxS = 1.5;
    st.tx.pitchHz = pitches[i];
    st.startS = 0.5 + 0.4 * i;
    s.stations.push_back(st);
  }
  s.receiver.noise.on = true;
  s.receiver.noise.snrDb = 18;
  return sim::Render(s);
}

void WriteRaw(const std::string& path, const std::vector<float>& audio, bool s16) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  for (float v : audio) {
    if (s16) {
      const auto x = static_cast<std::int16_t>(v * 30000);
      std::fwrite(&x, 2, 1, f);
    } else {
      std::fwrite(&v, 4, 1, f);
    }
  }
  std::fclose(f);
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

class SkimCli : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir;
    const sim::Rendered r = TwoCallers();
    WriteRaw(dir_->File("band.f32"), r.audio, false);
    WriteRaw(dir_->File("band.s16"), r.audio, true);
    std::vector<std::int16_t> pcm;
    for (float v : r.audio) pcm.push_back(static_cast<std::int16_t>(v * 30000));
    std::FILE* f = std::fopen(dir_->File("band.wav").c_str(), "wb");
    WriteWavHeader(f, 8000, 1, 16, static_cast<std::uint32_t>(2 * pcm.size()));
    std::fwrite(pcm.data(), 2, pcm.size(), f);
    std::fclose(f);
  }
  static void TearDownTestSuite() { delete dir_; }
  static TempDir* dir_;
};
TempDir* SkimCli::dir_ = nullptr;

// Not on a terminal: one line per transmission per signal, each with its
// offset, speed and SNR, from a file, a WAV or a pipe alike.
TEST_F(SkimCli, PrintsEachTransmissionOnceWhateverTheInput) {
  const std::string f32 = "--raw 8000 --raw-format f32 '" + dir_->File("band.f32") + "'";
  const std::string s16 = "--raw 8000 --raw-format s16 -";
  const std::string wav = "'" + dir_->File("band.wav") + "'";
  std::vector<std::pair<std::string, std::string>> runs = {{f32, "/dev/null"}, {s16, dir_->File("band.s16")}};
#if defined(TOLVANE_WITH_SNDFILE)
  runs.push_back({wav, "/dev/null"});  // without libsndfile, skim reads --raw only
#endif
  for (const auto& [args, input] : runs) {
    const Result r = RunSkim(*dir_, args, input);
    ASSERT_EQ(r.exitCode, 0) << args << ": " << r.err;
    EXPECT_NE(r.out.find("DE DL1ABC DL1ABC K"), std::string::npos) << args << "\n" << r.out;
    EXPECT_NE(r.out.find("DE G4XYZ G4XYZ K"), std::string::npos) << args << "\n" << r.out;
    EXPECT_EQ(r.out.find("\x1b["), std::string::npos) << args;  // never redrawn
    for (const std::string& line : Lines(r.out)) {
      EXPECT_TRUE(line.find(" 700.") != std::string::npos || line.find(" 850.") != std::string::npos ||
                  line.find(" 699.") != std::string::npos || line.find(" 849.") != std::string::npos)
          << args << ": " << line;  // nothing at the carrier
      EXPECT_NE(line.find(" WPM "), std::string::npos) << line;
      EXPECT_NE(line.find(" dB "), std::string::npos) << line;
    }
  }
}

TEST_F(SkimCli, JsonLinesCarryTheSignalOnEveryLine) {
  const Result r = RunSkim(*dir_, "--raw 8000 --raw-format f32 --json --dial 7010 '" + dir_->File("band.f32") + "'");
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const std::vector<std::string> lines = Lines(r.out);
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines.front(), "{\"type\":\"start\",\"version\":1,\"rate\":8000}");
  EXPECT_EQ(lines.back().rfind("{\"type\":\"end\",", 0), 0u) << lines.back();
  int found = 0, lost = 0;
  std::size_t characters = 0;
  for (std::size_t i = 1; i + 1 < lines.size(); ++i) {
    const std::string& l = lines[i];
    EXPECT_NE(l.find("\"signal\":"), std::string::npos) << l;
    if (l.find("\"event\":\"found\"") != std::string::npos) {
      ++found;
      EXPECT_NE(l.find("\"rf_khz\":7010."), std::string::npos) << l;
    }
    lost += l.find("\"event\":\"lost\"") != std::string::npos ? 1 : 0;
    characters += l.find("\"code\":") != std::string::npos ? 1 : 0;
  }
  EXPECT_EQ(found, 2);
  EXPECT_EQ(lost, 2);
  EXPECT_NE(lines.back().find("\"chars\":" + std::to_string(characters) + "}"), std::string::npos) << lines.back();
}

TEST_F(SkimCli, SpotsCallersInTheClusterForm) {
  const Result r =
      RunSkim(*dir_, "--raw 8000 --raw-format f32 --spots --dial 7010 --start 12:34 --spotter N0CALL-1 '" +
                     dir_->File("band.f32") + "'");
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const std::vector<std::string> lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 2u) << r.out;
  // Each call once, at its frequency on the air, in the columns clusters use.
  for (const auto& [call, khz] : std::vector<std::pair<std::string, double>>{{"DL1ABC", 7010.70}, {"G4XYZ", 7010.85}}) {
    int seen = 0;
    for (const std::string& l : lines) {
      if (l.substr(26, call.size() + 1) != call + " ") continue;
      ++seen;
      EXPECT_EQ(l.substr(0, 18), "DX de N0CALL-1:   ") << l;
      EXPECT_NEAR(std::stod(l.substr(18, 6)), khz, 0.051) << l;
      EXPECT_EQ(l.substr(39, 3), "CW ") << l;
      EXPECT_EQ(l.substr(l.size() - 5), "1234Z") << l;
    }
    EXPECT_EQ(seen, 1) << call << "\n" << r.out;
  }
}

TEST(SkimOptions, RefusesWhatCannotWork) {
  TempDir dir;
  struct Case {
    const char* args;
    const char* message;
  } cases[] = {
      {"", "one INPUT"},
      {"--spots x.wav", "--spots needs --dial"},
      {"--usb x.wav", "--dial"},
      {"--raw-format u8 x.raw", "--raw RATE"},
      {"--raw 8000 --raw-format s24 -", "s16, u8 or f32"},
      {"--band 3000-200 x.wav", "LO below HI"},
      {"--iq --dial 7000 --usb x.wav", "--usb and --lsb are for audio"},
      {"--spotter ME x.wav", "goes with --spots"},
  };
  for (const Case& c : cases) {
    const Result r = RunSkim(dir, c.args);
    EXPECT_EQ(r.exitCode, 2) << c.args;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << c.args << ": " << r.err;
  }
}

TEST(SpotLine, ColumnsAsClustersPadThem) {
  EXPECT_EQ(tool::SpotLine("NOCALL-#", 7012.46, "DL1ABC", 14.2, 26.4, 12 * 60 + 34),
            "DX de NOCALL-#:   7012.5  DL1ABC       CW 14 dB 26 WPM CQ             1234Z");
  EXPECT_EQ(tool::SpotLine("W1AW", 14025.0, "VK2/G4XYZ/P", 3, 12, 24 * 60 + 5),
            "DX de W1AW:      14025.0  VK2/G4XYZ/P  CW 3 dB 12 WPM CQ              0005Z");
}

// A logging program's side of the spot server.
class Client {
 public:
  explicit Client(int port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
  }
  ~Client() { ::close(fd_); }
  bool connected() const { return connected_; }
  void Say(const std::string& text) { ASSERT_EQ(::send(fd_, text.data(), text.size(), 0), static_cast<ssize_t>(text.size())); }
  // What arrives until `want` has (or two seconds pass, or the server closes).
  std::string Until(const std::string& want) {
    for (int i = 0; i < 40 && got_.find(want) == std::string::npos && !closed_; ++i) Read(50);
    return got_;
  }
  // What arrives within `ms`; whether the server closed the connection.
  bool Read(int ms) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, ms) <= 0) return false;
    char buffer[512];
    const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n <= 0) closed_ = true;
    if (n > 0) got_.append(buffer, static_cast<std::size_t>(n));
    return closed_;
  }
  const std::string& got() const { return got_; }
  bool closed() const { return closed_; }

 private:
  int fd_;
  bool connected_ = false;
  bool closed_ = false;
  std::string got_;
};

TEST(SpotServer, ServesSpotsToLoggedInClientsLikeAClusterNode) {
  tool::SpotServer server;
  std::string error;
  ASSERT_TRUE(server.Start(0, &error)) << error;
  ASSERT_GT(server.port(), 0);
  Client logged(server.port()), silent(server.port());
  ASSERT_TRUE(logged.connected());
  ASSERT_TRUE(silent.connected());
  EXPECT_EQ(logged.Until("login: "), "login: ");
  logged.Say("DL1ABC\r\n");
  EXPECT_NE(logged.Until("\r\n").find("DL1ABC"), std::string::npos) << logged.got();
  const std::string spot = tool::SpotLine("NOCALL-#", 7012.5, "G4XYZ", 14, 26, 754);
  server.Send(spot);
  EXPECT_NE(logged.Until(spot + "\r\n").find(spot + "\r\n"), std::string::npos) << logged.got();
  // Not logged in: the prompt only.
  silent.Read(200);
  EXPECT_EQ(silent.got(), "login: ");
  server.Stop();
  logged.Until("never");
  EXPECT_TRUE(logged.closed());
}

}  // namespace
}  // namespace tolvane
