// Every scanner operation of the library by a short name, with its arguments as text, so
// `scanlink send` and `scanlink monitor --scan` reach all of them the same way.
#pragma once

#include <scanlink/scanlink.h>
#include <scanlink/scanlink_c.h>

#include <string>
#include <vector>

namespace scanlink::cli {

struct Operation {
  const char* name;
  const char* usage;  // the arguments, e.g. "CELL/PARAM,... [FINGER SELECTOR SELVALUE TRAILING]"
  size_t minArgs;
  size_t maxArgs;
  bool replies;  // the scanner answers it
  int (*send)(CMyPcCommSocketClient& client, const std::vector<std::string>& args);
  // Throws CliError(kExitUsage) for arguments the operation cannot take; sends nothing.
  void (*check)(const std::vector<std::string>& args);
  // The same through a session of the C interface (monitor with several scanners).
  int (*sendSession)(scanlink_session* session, const std::vector<std::string>& args);
};

const std::vector<Operation>& Operations();
// Throws CliError(kExitUsage) for an unknown name.
const Operation& FindOperation(const std::string& name);
// Checks an operation's name and arguments without sending: throws CliError(kExitUsage).
void CheckOperation(const std::vector<std::string>& words);
// Checks the argument count and sends; the transaction id (0: the library sent nothing).
// Throws CliError(kExitUsage) for malformed arguments.
int SendOperation(CMyPcCommSocketClient& client, const std::vector<std::string>& words);
int SendOperation(scanlink_session* session, const std::vector<std::string>& words);
// "A.B.C.D" with four decimal numbers 0-255 without leading zeros, and nothing else.
bool IsDottedQuad(const std::string& text);
// One line per operation, for --help.
std::string OperationsHelp();

}  // namespace scanlink::cli
