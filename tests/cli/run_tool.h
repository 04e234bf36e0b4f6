// Runs scanlink (or another program) with a bound on its time and collects what it printed.
#pragma once

#include <chrono>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace scanlink::test {

struct ToolRun {
  int status = -1;  // exit status; -1 when it had to be killed
  std::string out, err;
  double seconds = 0;
};

struct Started {
  int pid;
  std::string outPath, errPath;
  std::chrono::steady_clock::time_point at;
};

// Starts a program in the background; Finish waits for it (bounded) and collects its output.
Started StartProgram(const std::string& program, const std::vector<std::string>& args);
ToolRun Finish(const Started& started, std::chrono::seconds limit = std::chrono::seconds(40));
ToolRun RunProgram(const std::string& program, const std::vector<std::string>& args,
                   std::chrono::seconds limit = std::chrono::seconds(40));
ToolRun RunScanlink(const std::vector<std::string>& args,
                    std::chrono::seconds limit = std::chrono::seconds(40));

std::vector<std::string> Lines(const std::string& text);
// Every line parsed as JSON; a line that does not parse fails the calling test.
std::vector<nlohmann::json> JsonLines(const std::string& text);
// An XPath expression evaluated by xmllint on an SVG file ("" when xmllint fails).
std::string XPath(const std::string& file, const std::string& expression);
bool WellFormedXml(const std::string& file);
std::string TempPath(const std::string& name);

}  // namespace scanlink::test
