#include "sim_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <random>
#include <thread>

#include "exit_codes.h"

namespace scanlink::cli {
namespace fs = std::filesystem;

SimProcess::~SimProcess() { Stop(std::chrono::milliseconds(1000)); }

void SimProcess::Start(const std::string& program, const std::vector<std::string>& args,
                       const std::string& logPath) {
  int in[2];
  if (::pipe2(in, O_CLOEXEC) != 0)
    throw CliError(kExitSimulator, std::string("cannot create a pipe: ") + std::strerror(errno));
  const int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (log < 0) {
    ::close(in[0]), ::close(in[1]);
    throw CliError(kExitFile, "cannot write " + logPath + ": " + std::strerror(errno));
  }
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(in[0], 0);
    ::dup2(log, 1);
    ::dup2(log, 2);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(log);
  if (pid < 0) {
    ::close(in[1]);
    throw CliError(kExitSimulator,
                   std::string("cannot start the simulator: ") + std::strerror(errno));
  }
  pid_ = pid;
  stdin_ = in[1];
}

bool SimProcess::Control(const std::string& line) {
  if (stdin_ < 0) return false;
  const std::string text = line + "\n";
  return ::write(stdin_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

int SimProcess::Stop(std::chrono::milliseconds grace) {
  if (pid_ <= 0) return -1;
  Control("quit");
  ::close(stdin_);
  stdin_ = -1;
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + grace;
  pid_t done = 0;
  while ((done = ::waitpid(pid_, &status, WNOHANG)) == 0 &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (done == 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status, 0);
  }
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string FindSimulator(const std::string& overridePath) {
  if (!overridePath.empty()) {
    if (::access(overridePath.c_str(), X_OK) != 0)
      throw CliError(kExitSimulator,
                     "cannot run the simulator " + overridePath + ": " + std::strerror(errno));
    return overridePath;
  }
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  if (!ec) {
    for (const fs::path& p : {self.parent_path() / "scanlink-sim",
                              self.parent_path().parent_path() / "sim" / "scanlink-sim"})
      if (::access(p.c_str(), X_OK) == 0) return p.string();
  }
  if (const char* path = std::getenv("PATH")) {
    std::string all = path;
    for (size_t start = 0; start <= all.size();) {
      size_t end = all.find(':', start);
      if (end == std::string::npos) end = all.size();
      const fs::path p = fs::path(all.substr(start, end - start)) / "scanlink-sim";
      if (end > start && ::access(p.c_str(), X_OK) == 0) return p.string();
      start = end + 1;
    }
  }
  throw CliError(kExitSimulator,
                 "scanlink-sim not found next to scanlink nor on PATH (give --sim PATH)");
}

std::string MakeTempFolder(const std::string& prefix) {
  std::string name = "/tmp/" + prefix + ".XXXXXX";
  if (::mkdtemp(name.data()) == nullptr)
    throw CliError(kExitFile,
                   std::string("cannot create a temporary folder: ") + std::strerror(errno));
  return name;
}

namespace {

bool CanListen(const in_addr& address, int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr = address;
  const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(fd);
  return ok;
}

}  // namespace

std::string PickLoopbackAddress(int dataPort, int alarmPort) {
  std::mt19937 random(std::random_device{}());
  for (int attempt = 0; attempt < 200; ++attempt) {
    // Leave 127.0.0.x alone: other programs favour it.
    const uint32_t host =
        (127u << 24) | (1 + random() % 254) << 16 | (random() % 256) << 8 | (1 + random() % 254);
    in_addr address{htonl(host)};
    if (CanListen(address, dataPort) && CanListen(address, alarmPort)) {
      char text[INET_ADDRSTRLEN];
      return ::inet_ntop(AF_INET, &address, text, sizeof text);
    }
  }
  throw CliError(kExitSimulator, "no free loopback address for the simulator");
}

}  // namespace scanlink::cli
