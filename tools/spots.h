// Spots: the one-line form DX clusters, logging programs and reverse-beacon
// aggregators parse, and a loopback server that hands them out the way a
// cluster node does (a login prompt that takes any call, then one spot per
// line).
#ifndef TOLVANE_TOOLS_SPOTS_H
#define TOLVANE_TOOLS_SPOTS_H

#include <memory>
#include <string>

namespace tolvane::tool {

// DX de NOCALL-#:   7012.5  DL1ABC       CW 14 dB 26 WPM CQ             1234Z
// The frequency ends in column 24, the call takes 13 columns from 27, the
// comment 31 from 40, then the time (minutes since 0000Z, any day).
std::string SpotLine(const std::string& spotter, double rfKhz, const std::string& call, double snrDb, double wpm,
                     int minutesUtc);

class SpotServer {
 public:
  SpotServer();
  ~SpotServer();
  SpotServer(const SpotServer&) = delete;
  SpotServer& operator=(const SpotServer&) = delete;

  // Listens on 127.0.0.1:port (0: any free port; see port()). False, with
  // `error` saying why, when it cannot.
  bool Start(int port, std::string* error);
  int port() const;
  // Sends a line to every client that has logged in.
  void Send(const std::string& line);
  // Sends what is queued (waiting up to a second for slow clients), then
  // closes every connection.
  void Stop();

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace tolvane::tool

#endif  // TOLVANE_TOOLS_SPOTS_H
