// The simulator as a child process: started with a pipe on its standard input for fault
// injection, stopped with "quit" (or a signal when it does not go).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace scanlink::cli {

class SimProcess {
 public:
  SimProcess() = default;
  ~SimProcess();
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;

  // stdout and stderr of the child go to logPath. Throws CliError when it cannot start.
  void Start(const std::string& program, const std::vector<std::string>& args,
             const std::string& logPath);
  // One control line; false when the simulator is gone.
  bool Control(const std::string& line);
  // Asks it to quit and waits (bounded); kills it if it does not go. Returns its exit status.
  int Stop(std::chrono::milliseconds grace);
  bool Running() const { return pid_ > 0; }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1;
};

// The simulator next to this program (or in the build tree's tools/sim), else on PATH. Throws
// CliError(kExitSimulator) where none can run: the simulator is a Linux program.
std::string FindSimulator(const std::string& overridePath);
// An address in 127.0.0.0/8 where both ports can be listened on right now.
std::string PickLoopbackAddress(int dataPort, int alarmPort);
// A new private folder in the temporary folder, named after prefix.
std::string MakeTempFolder(const std::string& prefix);

}  // namespace scanlink::cli
