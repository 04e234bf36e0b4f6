// On Windows there is no simulator to start: it is a Linux program. `scanlink demo` stops at
// FindSimulator with one line saying how to try the library instead; the rest is never reached.
#include "exit_codes.h"
#include "sim_process.h"

namespace scanlink::cli {
namespace {

[[noreturn]] void NoSimulator() {
  throw CliError(kExitSimulator,
                 "demo starts scanlink-sim, which runs on Linux only; on Windows use monitor, "
                 "query or send with --host/--port of a running simulator or scanner");
}

}  // namespace

SimProcess::~SimProcess() = default;

void SimProcess::Start(const std::string&, const std::vector<std::string>&, const std::string&) {
  NoSimulator();
}

bool SimProcess::Control(const std::string&) { return false; }

int SimProcess::Stop(std::chrono::milliseconds) { return -1; }

std::string FindSimulator(const std::string&) { NoSimulator(); }

std::string PickLoopbackAddress(int, int) { NoSimulator(); }

std::string MakeTempFolder(const std::string&) { NoSimulator(); }

}  // namespace scanlink::cli
