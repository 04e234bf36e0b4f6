// The simulator's event loop: listeners, the session, the control channel and the report clock, all
// served by one thread with poll(), so no state is shared between threads.
#pragma once

#include <chrono>
#include <fstream>
#include <optional>
#include <string>

#include "control.h"
#include "event_log.h"
#include "fault_injector.h"
#include "options.h"
#include "replay.h"
#include "report_generator.h"
#include "scanner_model.h"
#include "session.h"

namespace scanlink::sim {

class Server {
 public:
  using Clock = std::chrono::steady_clock;

  // With a replay, reports and alarm bytes come from it instead of the generator, and commands
  // it has replies for get those.
  Server(Options options, EventLog& log, ReportGenerator generator,
         std::optional<Replay> replay = std::nullopt);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Serves until quit, end of stdin, or a byte on stop_fd (written by the signal handler).
  // Returns the process exit status.
  int run(int stop_fd);

 private:
  bool update_listeners(Clock::time_point now);
  void close_listeners();
  void accept_data();
  void accept_alarm();
  void read_data();
  void read_alarm();
  void read_stdin();
  void handle_frame(const Frame& frame);
  void handle_control(const std::string& line);
  // Empty when done, else the reason the command could not be carried out.
  std::string apply_control(const ControlCommand& c);
  void send_frame(const Frame& frame, const Json& detail = Json::object());
  void close_data(const std::string& reason, bool reset = false);
  void close_alarm(const std::string& reason);
  // Logs a stop, or a (re)start when started; resets the report clock.
  void scan_changed(bool was_scanning, bool started);
  void send_due_reports(Clock::time_point now);
  void start_replay();
  void send_due_replay(Clock::time_point now);
  std::optional<Clock::time_point> next_deadline() const;
  void quit(const std::string& reason);
  // Appends bytes sent on the data connection to the --record file.
  void record(ByteView bytes);

  Options options_;
  EventLog& log_;
  ReportGenerator generator_;
  std::optional<Replay> replay_;
  bool replay_ended_ = false;
  ScannerModel model_;
  FaultInjector faults_;
  Session session_;

  int data_listener_ = -1;
  int alarm_listener_ = -1;
  std::uint16_t data_port_;
  std::uint16_t alarm_port_;
  std::optional<Clock::time_point> listen_retry_;

  bool stdin_open_ = true;
  std::string stdin_buffer_;
  std::uint64_t control_seq_ = 0;

  std::uint32_t rate_;
  std::optional<Clock::time_point> next_report_;
  Clock::time_point started_ = Clock::now();
  // The same moment on the UTC clock: the GPS fixes count whole seconds from it.
  double started_utc_s_ =
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();

  bool quit_ = false;
  std::string quit_reason_;
  std::ofstream record_;
};

}  // namespace scanlink::sim
