// SimPeer: runs scanlink-sim as a child process for integration tests and follows its JSON event
// log.
//
//   scanlink::test::SimPeer sim;
//   ASSERT_TRUE(sim.start({"--port", "0", "--alarm-port", "0", "--family", "21"}));
//   ... point the client at sim.data_port() ...
//   auto login = sim.wait_for(SimPeer::command(43), 5s);
//   auto mark = sim.mark();
//   ASSERT_TRUE(sim.control("reset-data"));
//   ASSERT_TRUE(sim.wait_for("data-connected", 10s, mark));  // the client came back
//
// Every wait is bounded and wakes on the next event line; nothing sleeps for luck.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace scanlink::test {

class SimPeer {
 public:
  using Json = nlohmann::json;
  using Predicate = std::function<bool(const Json&)>;
  using Duration = std::chrono::milliseconds;

  SimPeer() = default;
  ~SimPeer();
  SimPeer(const SimPeer&) = delete;
  SimPeer& operator=(const SimPeer&) = delete;

  // Path of the simulator program this build made.
  static std::string program();

  // Spawns the simulator with "--log -" (events on a pipe) and extra_args, and waits for its first
  // "listening" event. False if it could not start, exited, or did not listen in time.
  bool start(const std::vector<std::string>& extra_args = {},
             Duration timeout = std::chrono::seconds(5));

  // Sends one control line and waits for its acknowledgement; nullopt if none came in time. The ack
  // says {"ok":false,"error":...} when the simulator could not carry the command out.
  std::optional<Json> control(const std::string& line, Duration timeout = std::chrono::seconds(5));

  // The first event at index >= from that matches; nullopt on timeout or when the simulator has
  // exited.
  std::optional<Json> wait_for(const Predicate& match, Duration timeout, std::size_t from = 0);
  std::optional<Json> wait_for(const std::string& event, Duration timeout, std::size_t from = 0);

  // Number of events so far: pass it as `from` to wait only for what happens next.
  std::size_t mark() const;
  std::vector<Json> events() const;
  std::vector<Json> commands() const;
  std::size_t count(const Predicate& match, std::size_t from = 0) const;

  // Ports from the latest "listening" event (the real ones when 0 was asked for).
  std::uint16_t data_port() const;
  std::uint16_t alarm_port() const;
  bool running() const;

  // Asks the simulator to quit and waits up to timeout, then kills it. Returns its exit status, or
  // -1 if it had to be killed or was not running. Safe to call twice.
  int stop(Duration timeout = std::chrono::seconds(3));

  // Predicates for the common waits.
  static Predicate event(const std::string& name);
  static Predicate command(std::uint16_t code);  // a command the simulator received
  static Predicate sent(std::uint16_t code);     // a frame the simulator sent

 private:
  void read_events();

  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::vector<Json> events_;
  bool eof_ = false;

  pid_t pid_ = -1;                 // 0 when running but unknown (a Windows test under Wine)
  std::intptr_t control_fd_ = -1;  // our end of the child's stdin (a HANDLE on Windows)
  std::intptr_t events_fd_ = -1;   // our end of the child's stdout
  std::thread reader_;

  std::mutex control_mu_;
  std::uint64_t control_sent_ = 0;
};

}  // namespace scanlink::test
