#include "run_tool.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

namespace scanlink::test {
namespace {

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

std::string TempPath(const std::string& name) {
  return "/tmp/scanlink-cli-test-" + std::to_string(::getpid()) + "-" + name;
}

Started StartProgram(const std::string& program, const std::vector<std::string>& args) {
  static int serial = 0;
  const std::string tag = std::to_string(++serial);
  Started started{-1, TempPath("stdout" + tag), TempPath("stderr" + tag),
                  std::chrono::steady_clock::now()};
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  started.pid = ::fork();
  if (started.pid == 0) {
    const int out = ::open(started.outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = ::open(started.errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int none = ::open("/dev/null", O_RDONLY);
    ::dup2(none, 0), ::dup2(out, 1), ::dup2(err, 2);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  return started;
}

ToolRun Finish(const Started& started, std::chrono::seconds limit) {
  ToolRun run;
  int status = 0;
  pid_t done = 0;
  while ((done = ::waitpid(started.pid, &status, WNOHANG)) == 0 &&
         std::chrono::steady_clock::now() - started.at < limit)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (done == 0) {
    ::kill(started.pid, SIGKILL);
    ::waitpid(started.pid, &status, 0);
    ADD_FAILURE() << "the program did not finish within " << limit.count() << " s";
  } else {
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  run.seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started.at).count();
  run.out = Slurp(started.outPath);
  run.err = Slurp(started.errPath);
  ::unlink(started.outPath.c_str());
  ::unlink(started.errPath.c_str());
  return run;
}

ToolRun RunProgram(const std::string& program, const std::vector<std::string>& args,
                   std::chrono::seconds limit) {
  return Finish(StartProgram(program, args), limit);
}

ToolRun RunScanlink(const std::vector<std::string>& args, std::chrono::seconds limit) {
  return RunProgram(SCANLINK_TOOL_PATH, args, limit);
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<nlohmann::json> JsonLines(const std::string& text) {
  std::vector<nlohmann::json> out;
  for (const std::string& line : Lines(text)) {
    auto j = nlohmann::json::parse(line, nullptr, false);
    EXPECT_FALSE(j.is_discarded()) << "not JSON: " << line;
    if (!j.is_discarded()) out.push_back(std::move(j));
  }
  return out;
}

std::string XPath(const std::string& file, const std::string& expression) {
  const ToolRun run = RunProgram("/usr/bin/xmllint", {"--xpath", expression, file});
  std::string out = run.status == 0 ? run.out : "";
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

bool WellFormedXml(const std::string& file) {
  return RunProgram("/usr/bin/xmllint", {"--noout", file}).status == 0;
}

}  // namespace scanlink::test
