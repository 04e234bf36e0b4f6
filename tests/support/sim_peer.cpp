#include "sim_peer.h"

#if defined(_WIN32)
#include <winsock2.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <climits>

namespace scanlink::test {
namespace {

// The few steps that differ between systems: start the child with its stdin and stdout on our
// channels, move bytes, end the child.
#if defined(_WIN32)
// A Windows test runs under Wine, which starts native programs with no process handle to wait
// on and without passing it pipes as their stdin and stdout. The simulator's stdin and stdout
// become one loopback connection instead, set up by a short native bridge; the simulator's exit
// closes it.
SOCKET S(std::intptr_t h) { return static_cast<SOCKET>(h); }

void close_fd(std::intptr_t& h) {
  if (h != -1) closesocket(S(h));
  h = -1;
}

std::wstring wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }

bool spawn(const std::vector<std::string>& args, pid_t& pid, std::intptr_t& control,
           std::intptr_t& events) {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  if (!started) return false;
  SOCKET listener = socket(AF_INET, SOCK_STREAM, 0);
  if (listener == INVALID_SOCKET) return false;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int len = sizeof sa;
  if (bind(listener, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
      listen(listener, 1) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
    closesocket(listener);
    return false;
  }
  const std::string bridge =
      "import socket,os,sys;s=socket.create_connection(('127.0.0.1',int(sys.argv[1])));"
      "os.dup2(s.fileno(),0);os.dup2(s.fileno(),1);s.close();os.execv(sys.argv[2],sys.argv[2:])";
  std::wstring line =
      L"python3 -c \"" + wide(bridge) + L"\" " + std::to_wstring(ntohs(sa.sin_port));
  for (const std::string& a : args) line += L" \"" + wide(a) + L"\"";
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  const bool ok = CreateProcessW(L"Z:\\usr\\bin\\python3", line.data(), nullptr, nullptr, FALSE, 0,
                                 nullptr, nullptr, &si, &pi) != 0;
  SOCKET s = INVALID_SOCKET;
  if (ok) {
    if (pi.hProcess != nullptr) CloseHandle(pi.hProcess);
    if (pi.hThread != nullptr) CloseHandle(pi.hThread);
    WSAPOLLFD p{listener, POLLIN, 0};
    if (WSAPoll(&p, 1, 5000) > 0) s = accept(listener, nullptr, nullptr);
  }
  closesocket(listener);
  if (s == INVALID_SOCKET) return false;
  pid = 0;
  control = events = static_cast<std::intptr_t>(s);
  return true;
}

long read_some(std::intptr_t h, char* buf, std::size_t size) {
  return recv(S(h), buf, static_cast<int>(size), 0);
}

long write_some(std::intptr_t h, const char* data, std::size_t size) {
  return send(S(h), data, static_cast<int>(size), 0);
}

// One connection carries both directions: only our sending side ends here.
void close_input(std::intptr_t& control) {
  shutdown(S(control), SD_SEND);
  control = -1;
}

// The exit status is unknown: 0 for a simulator that ended, -1 for one that did not.
int finish(pid_t, bool ended) { return ended ? 0 : -1; }
#else
void close_fd(std::intptr_t& fd) {
  if (fd >= 0) ::close(static_cast<int>(fd));
  fd = -1;
}

// In the child between fork and exec: only async-signal-safe calls.
[[noreturn]] void exec_child(int stdin_fd, int stdout_fd, char* const* argv) {
  ::dup2(stdin_fd, STDIN_FILENO);
  ::dup2(stdout_fd, STDOUT_FILENO);
  // Sockets the test process holds (a client's data socket, say) must not live on in the simulator,
  // or closing them in the test would not reach the peer.
  if (::syscall(SYS_close_range, 3U, UINT_MAX, 0U) != 0) {
    for (int fd = 3; fd < 1024; ++fd) ::close(fd);
  }
  ::execv(argv[0], argv);
  ::_exit(127);
}

bool spawn(std::vector<std::string> args, pid_t& pid_out, std::intptr_t& control,
           std::intptr_t& events) {
  int control_pair[2];
  int events_pipe[2];
  // The control channel is a socket pair so that writing to a dead simulator fails with EPIPE
  // (send with MSG_NOSIGNAL) instead of raising SIGPIPE in the test process.
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, control_pair) != 0) return false;
  if (::pipe2(events_pipe, O_CLOEXEC) != 0) {
    ::close(control_pair[0]);
    ::close(control_pair[1]);
    return false;
  }
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  pid_t pid = ::fork();
  if (pid == 0) exec_child(control_pair[1], events_pipe[1], argv.data());
  ::close(control_pair[1]);
  ::close(events_pipe[1]);
  if (pid < 0) {
    ::close(control_pair[0]);
    ::close(events_pipe[0]);
    return false;
  }
  pid_out = pid;
  control = control_pair[0];
  events = events_pipe[0];
  return true;
}

long read_some(std::intptr_t fd, char* buf, std::size_t size) {
  for (;;) {
    const ssize_t n = ::read(static_cast<int>(fd), buf, size);
    if (n < 0 && errno == EINTR) continue;
    return static_cast<long>(n);
  }
}

long write_some(std::intptr_t fd, const char* data, std::size_t size) {
  for (;;) {
    const ssize_t n = ::send(static_cast<int>(fd), data, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    return static_cast<long>(n);
  }
}

void close_input(std::intptr_t& control) {
  ::shutdown(static_cast<int>(control), SHUT_WR);  // end of stdin is a quit as well
}

int finish(pid_t pid, bool ended) {
  // Closing stdout happens at exit; a simulator that has not closed it within the bound is stuck.
  if (!ended) ::kill(pid, SIGKILL);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!ended) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
#endif

}  // namespace

SimPeer::~SimPeer() { stop(); }

std::string SimPeer::program() {
#ifdef SCANLINK_SIM_PATH
  return SCANLINK_SIM_PATH;
#else
  return "scanlink-sim";
#endif
}

bool SimPeer::start(const std::vector<std::string>& extra_args, Duration timeout) {
  if (pid_ >= 0) return false;
  std::vector<std::string> args{program(), "--log", "-"};
  args.insert(args.end(), extra_args.begin(), extra_args.end());
  if (!spawn(args, pid_, control_fd_, events_fd_)) return false;
  {
    std::lock_guard lock(mu_);
    events_.clear();
    eof_ = false;
  }
  control_sent_ = 0;
  reader_ = std::thread([this] { read_events(); });
  return wait_for(event("listening"), timeout).has_value();
}

void SimPeer::read_events() {
  std::string pending;
  char buf[8192];
  while (true) {
    const long n = read_some(events_fd_, buf, sizeof buf);
    if (n <= 0) break;
    pending.append(buf, static_cast<std::size_t>(n));
    std::size_t nl;
    std::vector<Json> parsed;
    while ((nl = pending.find('\n')) != std::string::npos) {
      Json j = Json::parse(pending.substr(0, nl), nullptr, false);
      if (j.is_discarded()) j = Json{{"event", "unparsed"}, {"text", pending.substr(0, nl)}};
      parsed.push_back(std::move(j));
      pending.erase(0, nl + 1);
    }
    if (!parsed.empty()) {
      std::lock_guard lock(mu_);
      for (Json& j : parsed) events_.push_back(std::move(j));
      cv_.notify_all();
    }
  }
  std::lock_guard lock(mu_);
  eof_ = true;
  cv_.notify_all();
}

std::optional<SimPeer::Json> SimPeer::control(const std::string& line, Duration timeout) {
  // The simulator counts every non-blank line; a line with a break in it would throw the count off.
  if (line.find_first_not_of(" \t") == std::string::npos || line.find('\n') != std::string::npos) {
    return std::nullopt;
  }
  std::uint64_t seq;
  {
    std::lock_guard lock(control_mu_);
    if (control_fd_ < 0) return std::nullopt;
    std::string text = line + "\n";
    std::size_t done = 0;
    while (done < text.size()) {
      const long n = write_some(control_fd_, text.data() + done, text.size() - done);
      if (n <= 0) return std::nullopt;
      done += static_cast<std::size_t>(n);
    }
    seq = ++control_sent_;
  }
  return wait_for(
      [seq](const Json& e) {
        return e.value("event", "") == "control" && e.value("seq", std::uint64_t{0}) == seq;
      },
      timeout);
}

std::optional<SimPeer::Json> SimPeer::wait_for(const Predicate& match, Duration timeout,
                                               std::size_t from) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  std::unique_lock lock(mu_);
  std::size_t next = from;
  while (true) {
    for (; next < events_.size(); ++next) {
      if (match(events_[next])) return events_[next];
    }
    if (eof_) return std::nullopt;
    if (cv_.wait_until(lock, deadline) == std::cv_status::timeout) {
      for (; next < events_.size(); ++next) {
        if (match(events_[next])) return events_[next];
      }
      return std::nullopt;
    }
  }
}

std::optional<SimPeer::Json> SimPeer::wait_for(const std::string& name, Duration timeout,
                                               std::size_t from) {
  return wait_for(event(name), timeout, from);
}

std::size_t SimPeer::mark() const {
  std::lock_guard lock(mu_);
  return events_.size();
}

std::vector<SimPeer::Json> SimPeer::events() const {
  std::lock_guard lock(mu_);
  return events_;
}

std::vector<SimPeer::Json> SimPeer::commands() const {
  std::lock_guard lock(mu_);
  std::vector<Json> out;
  for (const Json& e : events_) {
    if (e.value("event", "") == "command") out.push_back(e);
  }
  return out;
}

std::size_t SimPeer::count(const Predicate& match, std::size_t from) const {
  std::lock_guard lock(mu_);
  std::size_t n = 0;
  for (std::size_t i = from; i < events_.size(); ++i) n += match(events_[i]) ? 1 : 0;
  return n;
}

std::uint16_t SimPeer::data_port() const {
  std::lock_guard lock(mu_);
  for (auto it = events_.rbegin(); it != events_.rend(); ++it) {
    if (it->value("event", "") == "listening") return it->value("port", std::uint16_t{0});
  }
  return 0;
}

std::uint16_t SimPeer::alarm_port() const {
  std::lock_guard lock(mu_);
  for (auto it = events_.rbegin(); it != events_.rend(); ++it) {
    if (it->value("event", "") == "listening") {
      const Json& p = (*it)["alarm_port"];
      return p.is_number() ? p.get<std::uint16_t>() : 0;
    }
  }
  return 0;
}

bool SimPeer::running() const {
  std::lock_guard lock(mu_);
  return pid_ >= 0 && !eof_;
}

int SimPeer::stop(Duration timeout) {
  if (pid_ < 0) return -1;
  {
    std::lock_guard lock(control_mu_);
    if (control_fd_ != -1) {
      static constexpr char kQuit[] = "quit\n";
      [[maybe_unused]] long n = write_some(control_fd_, kQuit, sizeof kQuit - 1);
      close_input(control_fd_);
    }
  }
  bool ended;
  {
    std::unique_lock lock(mu_);
    ended = cv_.wait_for(lock, timeout, [this] { return eof_; });
  }
  const int status = finish(pid_, ended);
  pid_ = -1;
#if defined(_WIN32)
  // Without a process to kill, a stuck simulator keeps the reader blocked: leave it behind.
  const bool reader_free = ended;
#else
  const bool reader_free = true;  // killed: its stdout has closed
#endif
  if (reader_.joinable()) {
    if (reader_free) {
      reader_.join();
    } else {
      reader_.detach();
    }
  }
  std::lock_guard lock(control_mu_);
  close_fd(control_fd_);
  if (reader_free) close_fd(events_fd_);
  return status;
}

SimPeer::Predicate SimPeer::event(const std::string& name) {
  return [name](const Json& e) { return e.value("event", "") == name; };
}

SimPeer::Predicate SimPeer::command(std::uint16_t code) {
  return [code](const Json& e) {
    return e.value("event", "") == "command" && e.value("code", -1) == code;
  };
}

SimPeer::Predicate SimPeer::sent(std::uint16_t code) {
  return [code](const Json& e) {
    return e.value("event", "") == "sent" && e.value("code", -1) == code;
  };
}

}  // namespace scanlink::test
