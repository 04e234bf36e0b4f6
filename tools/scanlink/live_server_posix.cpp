// The live page's server on POSIX sockets: one thread, one poll() loop, every socket
// non-blocking.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <list>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <thread>

#include "exit_codes.h"
#include "live_server.h"
#include "web_assets.h"

namespace scanlink::cli {
namespace {

using Clock = std::chrono::steady_clock;
// A browser gets this long to send its request, and then to take the answer.
constexpr auto kRequestTime = std::chrono::seconds(10);
constexpr auto kAnswerTime = std::chrono::seconds(60);

struct Connection {
  int fd = -1;
  std::string in;
  std::string out;
  size_t sent = 0;
  bool stream = false;   // an open event stream
  bool waiting = false;  // a stream that has not had its snapshot yet
  bool closing = false;  // close once out is sent
  bool eof = false;      // the browser sent all it will
  size_t slack = 0;      // backlog allowed for the snapshot
  Clock::time_point deadline;
  size_t Backlog() const { return out.size() - sent; }
};

std::string Response(int status, const char* reason, const std::string& type,
                     const std::string& body, const std::string& policy) {
  std::ostringstream r;
  r << "HTTP/1.1 " << status << ' ' << reason << "\r\n"
    << "Content-Type: " << type << "\r\n"
    << "Content-Length: " << body.size() << "\r\n"
    << "Cache-Control: no-store\r\n"
    << "X-Content-Type-Options: nosniff\r\n"
    << "Content-Security-Policy: " << policy << "\r\n"
    << "Connection: close\r\n\r\n"
    << body;
  return r.str();
}

std::string Plain(int status, const char* reason, const std::string& policy) {
  return Response(status, reason, "text/plain; charset=utf-8", std::string(reason) + "\n", policy);
}

// A web library of the system's packages, read once.
std::string LibraryFile(const std::string& name) {
  static std::mutex mutex;
  static std::map<std::string, std::string> cache;
  std::lock_guard<std::mutex> lock(mutex);
  auto it = cache.find(name);
  if (it != cache.end()) return it->second;
  std::ifstream file(std::string(SCANLINK_JS_DIR) + "/" + name, std::ios::binary);
  std::string text;
  if (file) text.assign(std::istreambuf_iterator<char>(file), {});
  return cache[name] = text;
}

// The origin of a tile URL template, for the page's content policy; empty when it has none.
std::string Origin(const std::string& url) {
  const size_t scheme = url.find("://");
  if (scheme == std::string::npos) return {};
  const std::string s = url.substr(0, scheme);
  if (s != "http" && s != "https") return {};
  const size_t end = url.find('/', scheme + 3);
  std::string origin = url.substr(0, end);
  // Tile servers with subdomains: "{s}.host" is any subdomain of host.
  if (origin.compare(scheme + 3, 4, "{s}.") == 0) origin.replace(scheme + 3, 3, "*");
  // Characters that would end or extend the header's value are refused.
  if (origin.find_first_of(" ;,'\"\r\n\t{}") != std::string::npos) return {};
  return origin;
}

// "/Z/X/Y.png" of a request for "/tiles/Z/X/Y.png" with decimal numbers, else empty:
// nothing else of the tile folder is ever read.
std::string TileFile(const std::string& path) {
  static const std::regex kTile(R"(/tiles(/\d{1,2}/\d{1,9}/\d{1,9}\.png))");
  std::smatch m;
  return std::regex_match(path, m, kTile) ? m[1].str() : std::string();
}

}  // namespace

struct LiveServer::Impl {
  LiveServerOptions options;
  int listener = -1;
  int wake[2] = {-1, -1};
  int port = 0;
  std::string policy, config;
  std::string tileDir;  // a folder of tiles served as /tiles/Z/X/Y.png
  mutable std::mutex mutex;
  std::list<Connection> connections;
  bool stopping = false;
  std::string failed;  // why the server thread gave up; empty while it serves
  std::thread thread;

  void Wake() {
    const char c = 0;
    [[maybe_unused]] auto n = ::write(wake[1], &c, 1);
  }

  void Answer(Connection& c, size_t headEnd) {
    c.closing = true;
    c.deadline = Clock::now() + kAnswerTime;
    const std::string head = c.in.substr(0, headEnd);
    const size_t lineEnd = head.find("\r\n");
    std::istringstream line(head.substr(0, lineEnd));
    std::string method, target, version, extra;
    line >> method >> target >> version;
    if (method.empty() || target.empty() || version.rfind("HTTP/1.", 0) != 0 || (line >> extra) ||
        target[0] != '/') {
      c.out = Plain(400, "Bad Request", policy);
      return;
    }
    if (method != "GET") {
      c.out = Plain(405, "Method Not Allowed", policy);
      return;
    }
    const std::string path = target.substr(0, target.find('?'));
    if (path == "/events" && options.recording.empty()) {
      c.out =
          "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-store\r\n"
          "X-Content-Type-Options: nosniff\r\nConnection: close\r\n\r\nretry: 1000\n\n";
      c.stream = c.waiting = true;
      c.closing = false;
      return;
    }
    if (path == "/recording.json" && !options.recording.empty()) {
      c.out = Response(200, "OK", "application/json", options.recording, policy);
      return;
    }
    if (path == "/config.json") {
      c.out = Response(200, "OK", "application/json", config, policy);
      return;
    }
    for (const WebAsset& a : WebAssets()) {
      if (path != a.path && !(path == "/" && std::string(a.path) == "/index.html")) continue;
      c.out = Response(200, "OK", a.type, std::string(a.body), policy);
      return;
    }
    if (!tileDir.empty()) {
      if (const std::string file = TileFile(path); !file.empty()) {
        std::ifstream in(tileDir + file, std::ios::binary);
        const std::string body(std::istreambuf_iterator<char>(in), {});
        c.out = body.empty() ? Plain(404, "Not Found", policy)
                             : Response(200, "OK", "image/png", body, policy);
        return;
      }
    }
    static const std::map<std::string, std::pair<std::string, std::string>> kLibraries = {
        {"/lib/leaflet.js", {"leaflet/leaflet.js", "text/javascript"}},
        {"/lib/leaflet.css", {"leaflet/leaflet.css", "text/css"}},
        {"/lib/chart.js", {"chart.js/chart.min.js", "text/javascript"}}};
    if (auto it = kLibraries.find(path); it != kLibraries.end()) {
      const std::string body = LibraryFile(it->second.first);
      c.out = body.empty() ? Plain(404, "Not Found", policy)
                           : Response(200, "OK", it->second.second, body, policy);
      return;
    }
    c.out = Plain(404, "Not Found", policy);
  }

  void Read(Connection& c) {
    char buffer[4096];
    for (;;) {
      const ssize_t n = ::recv(c.fd, buffer, sizeof buffer, 0);
      if (n == 0 && c.closing && !c.stream) {
        c.eof = true;  // a request sent whole, then half-closed: its answer still goes out
        return;
      }
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
        c.eof = c.closing = true;
        c.out.clear();
        c.sent = 0;
        return;
      }
      if (n < 0) return;
      // A stream's browser has nothing more to say; what it sends is ignored.
      if (c.stream || c.closing) continue;
      c.in.append(buffer, static_cast<size_t>(n));
      const size_t end = c.in.find("\r\n\r\n");
      if (end != std::string::npos && end + 4 <= kMaxRequest) {
        Answer(c, end);
      } else if (c.in.size() > kMaxRequest) {
        c.out = Plain(431, "Request Header Fields Too Large", policy);
        c.closing = true;
      }
    }
  }

  // False once the connection is done with.
  bool Write(Connection& c) {
    while (c.sent < c.out.size()) {
      const ssize_t n = ::send(c.fd, c.out.data() + c.sent, c.out.size() - c.sent, MSG_NOSIGNAL);
      if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
          if (c.sent > (1u << 20)) {
            c.out.erase(0, c.sent);
            c.sent = 0;
          }
          return true;
        }
        if (errno == EINTR) continue;
        return false;
      }
      c.sent += static_cast<size_t>(n);
    }
    c.out.clear();
    c.sent = 0;
    return !c.closing;
  }

  Clock::time_point acceptAfter{};  // the server thread's own

  void Accept() {
    for (;;) {
      const int fd = ::accept(listener, nullptr, nullptr);
      if (fd < 0) {
        // Out of descriptors or memory: the listener stays readable, so it rests a while
        // rather than being polled in a tight loop.
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
          acceptAfter = Clock::now() + std::chrono::milliseconds(200);
        return;
      }
      ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
      ::fcntl(fd, F_SETFD, FD_CLOEXEC);
      // A fixed send buffer: what a browser that stops reading can hold in the kernel is
      // bounded too, not grown to megabytes.
      const int sendBuffer = 256 << 10;
      ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
      std::lock_guard<std::mutex> lock(mutex);
      Connection c;
      c.fd = fd;
      c.deadline = Clock::now() + kRequestTime;
      if (connections.size() >= kMaxConnections) {
        c.out = Plain(503, "Service Unavailable", policy);
        c.closing = true;
      }
      connections.push_back(std::move(c));
    }
  }

  void Loop() {
    std::vector<pollfd> fds;
    for (;;) {
      {
        std::lock_guard<std::mutex> lock(mutex);
        if (stopping) return;
        // A negative descriptor is skipped by poll: the listener while it rests.
        fds.assign({{wake[0], POLLIN, 0},
                    {Clock::now() >= acceptAfter ? listener : -1, POLLIN, 0}});
        for (Connection& c : connections)
          fds.push_back(
              {c.fd,
               static_cast<short>((c.eof ? 0 : POLLIN) | (c.sent < c.out.size() ? POLLOUT : 0)),
               0});
      }
      if (::poll(fds.data(), fds.size(), 1000) < 0 && errno != EINTR) {
        const std::string why = std::string("poll: ") + std::strerror(errno);
        std::lock_guard<std::mutex> lock(mutex);
        failed = why;
        return;
      }
      if (fds[0].revents & POLLIN) {
        char drain[64];
        while (::read(wake[0], drain, sizeof drain) > 0) {
        }
      }
      if (fds[1].revents & POLLIN) Accept();
      std::lock_guard<std::mutex> lock(mutex);
      const auto now = Clock::now();
      size_t i = 2;
      for (auto it = connections.begin(); it != connections.end();) {
        Connection& c = *it;
        const short events = i < fds.size() && fds[i].fd == c.fd ? fds[i].revents : 0;
        if (i < fds.size() && fds[i].fd == c.fd) ++i;
        if (events & (POLLIN | POLLHUP | POLLERR)) Read(c);
        bool keep = true;
        if (!c.out.empty())
          keep = Write(c);
        else if (c.closing)
          keep = false;
        // Half a request held open is given up on; so is a stream that fell too far behind.
        if (!c.stream && now > c.deadline) keep = false;
        if (!keep) {
          ::shutdown(c.fd, SHUT_WR);
          ::close(c.fd);
          it = connections.erase(it);
        } else {
          ++it;
        }
      }
    }
  }
};

ServeAddress ParseServeAddress(const std::string& text) {
  ServeAddress at;
  const size_t colon = text.rfind(':');
  std::string port = text;
  if (colon != std::string::npos) {
    at.address = text.substr(0, colon);
    port = text.substr(colon + 1);
    in_addr parsed{};
    if (::inet_pton(AF_INET, at.address.c_str(), &parsed) != 1)
      throw CliError(kExitUsage, "--serve: bad IPv4 address '" + at.address + "'");
  }
  if (port.empty() || port.size() > 5 ||
      port.find_first_not_of("0123456789") != std::string::npos || std::stoi(port) > 65535)
    throw CliError(kExitUsage, "--serve: bad port '" + port + "' ([ADDRESS:]PORT, 0-65535)");
  at.port = std::stoi(port);
  return at;
}

LiveServer::LiveServer(LiveServerOptions options) : impl_(std::make_unique<Impl>()) {
  Impl& s = *impl_;
  s.options = std::move(options);
  std::error_code error;
  if (!s.options.tiles.empty() && std::filesystem::is_directory(s.options.tiles, error)) {
    s.tileDir = s.options.tiles;
    s.options.tiles = "/tiles/{z}/{x}/{y}.png";
  }
  const std::string tiles = Origin(s.options.tiles);
  if (!s.options.tiles.empty() && s.tileDir.empty() && tiles.empty())
    throw CliError(kExitUsage, "--tiles '" + s.options.tiles +
                                   "' is neither a folder nor an http(s) URL template");
  s.policy =
      "default-src 'none'; script-src 'self'; style-src 'self' 'unsafe-inline'; "
      "connect-src 'self'; img-src 'self' data:" +
      (tiles.empty() ? std::string() : " " + tiles) + "; base-uri 'none'; form-action 'none'";
  s.config = nlohmann::json{{"mode", s.options.mode},
                            {"tiles", !s.tileDir.empty() || !tiles.empty() ? s.options.tiles
                                                                           : std::string()}}
                 .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(s.options.at.port));
  ::inet_pton(AF_INET, s.options.at.address.c_str(), &addr.sin_addr);
  s.listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  const int one = 1;
  ::setsockopt(s.listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (s.listener < 0 || ::bind(s.listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(s.listener, 64) != 0) {
    const std::string why = std::strerror(errno);
    if (s.listener >= 0) ::close(s.listener);
    throw CliError(kExitFailure, "--serve: cannot listen on " + s.options.at.address + ":" +
                                     std::to_string(s.options.at.port) + ": " + why);
  }
  socklen_t length = sizeof addr;
  ::getsockname(s.listener, reinterpret_cast<sockaddr*>(&addr), &length);
  s.port = ntohs(addr.sin_port);
  if (::pipe(s.wake) != 0) {
    ::close(s.listener);
    throw CliError(kExitFailure, "--serve: no pipe");
  }
  for (int fd : s.wake) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
  s.thread = std::thread([&s] { s.Loop(); });
}

LiveServer::~LiveServer() {
  Impl& s = *impl_;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.stopping = true;
  }
  s.Wake();
  s.thread.join();
  for (Connection& c : s.connections) ::close(c.fd);
  ::close(s.listener);
  ::close(s.wake[0]);
  ::close(s.wake[1]);
}

std::string LiveServer::Url() const {
  return "http://" + impl_->options.at.address + ":" + std::to_string(impl_->port) + "/";
}

std::string LiveServer::Failed() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->failed;
}

bool LiveServer::Waiting() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  for (const Connection& c : impl_->connections)
    if (c.waiting) return true;
  return false;
}

void LiveServer::Publish(const std::string& batch, const std::function<std::string()>& snapshot) {
  Impl& s = *impl_;
  std::string first;
  bool any = false;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    for (const Connection& c : s.connections) any = any || c.waiting;
  }
  // Built outside the lock: the server thread goes on serving meanwhile.
  if (any) first = "event: snapshot\ndata: " + snapshot() + "\n\n";
  const std::string next = batch.empty() ? std::string() : "data: " + batch + "\n\n";
  std::lock_guard<std::mutex> lock(s.mutex);
  for (Connection& c : s.connections) {
    if (!c.stream || c.closing) continue;
    if (c.waiting) {
      if (first.empty()) continue;
      c.out += first;
      c.slack = first.size();
      c.waiting = false;
    } else if (!next.empty()) {
      if (c.Backlog() > kMaxBacklog + c.slack) {
        // Too far behind to catch up: dropped, so it never holds the others back.
        c.closing = true;
        c.out.clear();
        c.sent = 0;
        continue;
      }
      c.out += next;
    }
  }
  s.Wake();
}

}  // namespace scanlink::cli
