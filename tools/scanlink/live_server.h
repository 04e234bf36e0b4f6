// The live page's web server: the page and its assets, the event stream (Server-Sent Events)
// and, for a recording, the whole recording at once. Read-only: nothing a browser sends reaches
// the scanner. Runs on a thread of its own, so a slow browser never holds up monitoring.
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace scanlink::cli {

struct ServeAddress {
  std::string address = "127.0.0.1";
  int port = 0;
};

// "[ADDRESS:]PORT" with a dotted-quad address; throws CliError(kExitUsage).
ServeAddress ParseServeAddress(const std::string& text);

struct LiveServerOptions {
  ServeAddress at;
  std::string mode;   // "live" or "recording"
  std::string tiles;  // tile URL template, e.g. http://host/{z}/{x}/{y}.png; empty: no tiles
  // A recording's frames, served as /recording.json; empty for a live stream.
  std::string recording;
};

class LiveServer {
 public:
  static constexpr size_t kMaxConnections = 64;
  static constexpr size_t kMaxRequest = 8192;
  // Unsent stream bytes (besides its snapshot) past which a browser that does not keep up is
  // dropped: about a minute of batches.
  static constexpr size_t kMaxBacklog = 1 << 20;

  // Listens at once; throws CliError(kExitFailure) when the address cannot be listened on.
  explicit LiveServer(LiveServerOptions options);
  ~LiveServer();
  LiveServer(const LiveServer&) = delete;
  LiveServer& operator=(const LiveServer&) = delete;

  // "http://ADDRESS:PORT/" with the port actually bound.
  std::string Url() const;
  // Empty while the page is served; once the server's thread has given up, why (the page no
  // longer updates).
  std::string Failed() const;
  // Whether a stream waits for its first snapshot (so Publish should be called even without news).
  bool Waiting() const;
  // batch (one JSON line, may be empty) to every stream; a stream that just opened gets
  // snapshot() instead, built only when one waits.
  void Publish(const std::string& batch, const std::function<std::string()>& snapshot);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace scanlink::cli
