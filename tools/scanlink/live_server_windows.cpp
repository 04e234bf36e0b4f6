// The live page needs the POSIX server; on Windows --serve says so instead.
#include "exit_codes.h"
#include "live_server.h"

namespace scanlink::cli {

struct LiveServer::Impl {};

ServeAddress ParseServeAddress(const std::string&) {
  throw CliError(kExitUsage, "--serve is not available on Windows");
}

LiveServer::LiveServer(LiveServerOptions) {
  throw CliError(kExitUsage, "--serve is not available on Windows");
}
LiveServer::~LiveServer() = default;
std::string LiveServer::Url() const { return {}; }
bool LiveServer::Waiting() const { return false; }
std::string LiveServer::Failed() const { return {}; }
void LiveServer::Publish(const std::string&, const std::function<std::string()>&) {}

}  // namespace scanlink::cli
