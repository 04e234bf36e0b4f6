// Exit statuses of scanlink, and the error that carries one up to main().
#pragma once

#include <stdexcept>
#include <string>

namespace scanlink::cli {

enum ExitCode {
  kExitOk = 0,
  kExitFailure = 1,       // anything not listed below
  kExitUsage = 2,         // bad arguments
  kExitUnreachable = 3,   // the link could not be brought up
  kExitLoginRefused = 4,  // no login reply
  kExitFile = 5,          // a file cannot be read or written
  kExitNoReply = 6,       // a command got no reply in time
  kExitSimulator = 7,     // the simulator could not be started (demo)
  kExitDamaged = 8,       // the input was damaged: bytes skipped or a frame cut off
};

// The text --help shows.
inline const char* ExitCodesHelp() {
  return "Exit status:\n"
         "  0  success\n"
         "  1  any other failure\n"
         "  2  bad arguments\n"
         "  3  scanner unreachable (the link could not be brought up, or was down at the end)\n"
         "  4  login refused (no login reply)\n"
         "  5  a file cannot be read or written\n"
         "  6  no reply to a command in time\n"
         "  7  the simulator did not start (demo)\n"
         "  8  damaged input: bytes skipped or a frame cut off (what was whole is shown)\n"
         "A closed standard output (e.g. '| head') ends monitor and decode like Ctrl-C.";
}

class CliError : public std::runtime_error {
 public:
  CliError(ExitCode code, const std::string& message) : std::runtime_error(message), code_(code) {}
  ExitCode code() const { return code_; }

 private:
  ExitCode code_;
};

}  // namespace scanlink::cli
