#include "spots.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace tolvane::tool {

std::string SpotLine(const std::string& spotter, double rfKhz, const std::string& call, double snrDb, double wpm,
                     int minutesUtc) {
  std::string line = "DX de " + spotter + ":";
  char frequency[32];
  std::snprintf(frequency, sizeof frequency, "%.1f", rfKhz);
  const std::size_t end = 24;
  line += std::string(line.size() + std::strlen(frequency) < end ? end - line.size() - std::strlen(frequency) : 1, ' ');
  line += frequency;
  char rest[160];
  char comment[64];
  std::snprintf(comment, sizeof comment, "CW %.0f dB %.0f WPM CQ", snrDb, wpm);
  const int minutes = ((minutesUtc % 1440) + 1440) % 1440;
  std::snprintf(rest, sizeof rest, "  %-12s %-30s %02d%02dZ", call.c_str(), comment, minutes / 60, minutes % 60);
  return line + rest;
}

struct SpotServer::Impl {
  struct Client {
    int fd = -1;
    bool loggedIn = false;
    std::string in, out;
  };

  int listener = -1;
  int wake[2] = {-1, -1};
  int port = 0;
  std::thread thread;
  std::mutex mutex;
  std::vector<std::string> queue;  // lines for the server thread
  bool stopping = false;
  std::vector<Client> clients;

  static void NonBlocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

  void Run() {
    auto deadline = std::chrono::steady_clock::time_point::max();
    while (true) {
      bool stop = false;
      {
        std::lock_guard<std::mutex> lock(mutex);
        for (const std::string& line : queue) {
          for (Client& c : clients) {
            if (c.loggedIn) c.out += line + "\r\n";
          }
        }
        queue.clear();
        stop = stopping;
      }
      if (stop && deadline == std::chrono::steady_clock::time_point::max()) {
        deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
      }
      const bool pending = std::any_of(clients.begin(), clients.end(), [](const Client& c) { return !c.out.empty(); });
      if (stop && (!pending || std::chrono::steady_clock::now() > deadline)) break;
      std::vector<pollfd> fds;
      fds.push_back({wake[0], POLLIN, 0});
      fds.push_back({listener, static_cast<short>(stop ? 0 : POLLIN), 0});
      for (const Client& c : clients) fds.push_back({c.fd, static_cast<short>(POLLIN | (c.out.empty() ? 0 : POLLOUT)), 0});
      if (::poll(fds.data(), fds.size(), stop ? 50 : -1) < 0 && errno != EINTR) break;
      if ((fds[0].revents & POLLIN) != 0) {
        char drain[64];
        while (::read(wake[0], drain, sizeof drain) > 0) {
        }
      }
      // Only the clients polled have events; one accepted now is served
      // from the next round.
      const std::size_t polled = clients.size();
      if ((fds[1].revents & POLLIN) != 0) Accept();
      for (std::size_t i = polled; i-- > 0;) {
        if (!Serve(clients[i], fds[i + 2].revents)) {
          ::close(clients[i].fd);
          clients.erase(clients.begin() + static_cast<std::ptrdiff_t>(i));
        }
      }
    }
    for (Client& c : clients) ::close(c.fd);
    clients.clear();
  }

  void Accept() {
    const int fd = ::accept(listener, nullptr, nullptr);
    if (fd < 0) return;
    NonBlocking(fd);
    Client c;
    c.fd = fd;
    c.out = "login: ";
    clients.push_back(c);
  }

  // False when the client has gone.
  bool Serve(Client& c, short events) {
    if ((events & (POLLIN | POLLHUP | POLLERR)) != 0) {
      char buffer[512];
      const ssize_t n = ::recv(c.fd, buffer, sizeof buffer, 0);
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return false;
      if (n > 0) c.in.append(buffer, static_cast<std::size_t>(n));
      std::size_t end = 0;
      while ((end = c.in.find_first_of("\r\n")) != std::string::npos) {
        std::string line = c.in.substr(0, end);
        c.in.erase(0, end + 1);
        line.erase(0, line.find_first_not_of(" \t"));
        line.erase(line.find_last_not_of(" \t") + 1);
        if (!c.loggedIn && !line.empty()) {
          // Any call is welcome; what it sends later is read and let be.
          c.loggedIn = true;
          c.out += "Hello " + line + ", this is tolvane skim.\r\n";
        } else if (line == "bye" || line == "quit" || line == "BYE" || line == "QUIT") {
          return false;
        }
      }
      if (c.in.size() > 4096) c.in.clear();
    }
    if (!c.out.empty()) {
      const ssize_t n = ::send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL);
      if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
      if (n > 0) c.out.erase(0, static_cast<std::size_t>(n));
      // A client that reads nothing does not hold the others up for long.
      if (c.out.size() > (1 << 20)) return false;
    }
    return true;
  }
};

SpotServer::SpotServer() : impl_(std::make_unique<Impl>()) {}

SpotServer::~SpotServer() { Stop(); }

bool SpotServer::Start(int port, std::string* error) {
  Impl& m = *impl_;
  m.listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (m.listener < 0) {
    *error = std::strerror(errno);
    return false;
  }
  const int yes = 1;
  ::setsockopt(m.listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(m.listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 || ::listen(m.listener, 16) != 0 ||
      ::pipe2(m.wake, O_CLOEXEC | O_NONBLOCK) != 0) {
    *error = std::strerror(errno);
    return false;
  }
  socklen_t length = sizeof address;
  ::getsockname(m.listener, reinterpret_cast<sockaddr*>(&address), &length);
  m.port = ntohs(address.sin_port);
  Impl::NonBlocking(m.listener);
  m.thread = std::thread([&m] { m.Run(); });
  return true;
}

int SpotServer::port() const { return impl_->port; }

void SpotServer::Send(const std::string& line) {
  Impl& m = *impl_;
  if (!m.thread.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(m.mutex);
    m.queue.push_back(line);
  }
  const char byte = 1;
  (void)!::write(m.wake[1], &byte, 1);
}

void SpotServer::Stop() {
  Impl& m = *impl_;
  if (m.thread.joinable()) {
    {
      std::lock_guard<std::mutex> lock(m.mutex);
      m.stopping = true;
    }
    const char byte = 1;
    (void)!::write(m.wake[1], &byte, 1);
    m.thread.join();
  }
  for (int* fd : {&m.listener, &m.wake[0], &m.wake[1]}) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }
}

}  // namespace tolvane::tool
