// The simulator program driven over real sockets, the way the library meets it.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <vector>

#include "sim_peer.h"

namespace {

using namespace std::chrono_literals;
using scanlink::test::SimPeer;
using Bytes = std::vector<std::uint8_t>;

struct RawFrame {
  std::uint8_t module;
  std::uint16_t code;
  std::uint16_t trans;
  Bytes payload;
};

Bytes frame_bytes(std::uint8_t module, std::uint16_t code, std::uint16_t trans,
                  const Bytes& payload) {
  Bytes b(8 + payload.size());
  b[0] = 0x55;
  b[1] = module;
  b[2] = static_cast<std::uint8_t>(code >> 8);
  b[3] = static_cast<std::uint8_t>(code);
  b[4] = static_cast<std::uint8_t>(trans >> 8);
  b[5] = static_cast<std::uint8_t>(trans);
  b[6] = static_cast<std::uint8_t>(payload.size() >> 8);
  b[7] = static_cast<std::uint8_t>(payload.size());
  std::copy(payload.begin(), payload.end(), b.begin() + 8);
  return b;
}

// A bare TCP client with bounded reads, standing in for the library.
class Client {
 public:
  explicit Client(std::uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      error_ = errno;
      ::close(fd_);
      fd_ = -1;
    }
    int one = 1;
    if (fd_ >= 0) ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }
  ~Client() {
    if (fd_ >= 0) ::close(fd_);
  }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  bool connected() const { return fd_ >= 0; }
  int connect_error() const { return error_; }

  bool send(const Bytes& b) {
    return ::send(fd_, b.data(), b.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(b.size());
  }

  // Appends what arrives to in_ until it holds n bytes; false on timeout, close or error (see
  // closed()).
  bool fill(std::size_t n, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (in_.size() < n) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      std::uint8_t buf[4096];
      ssize_t got = ::recv(fd_, buf, sizeof buf, 0);
      if (got == 0) {
        closed_ = 0;
        return false;
      }
      if (got < 0) {
        closed_ = errno;
        return false;
      }
      in_.insert(in_.end(), buf, buf + got);
    }
    return true;
  }

  std::optional<RawFrame> read_frame(std::chrono::milliseconds timeout = 3s) {
    if (!fill(8, timeout)) return std::nullopt;
    std::size_t len = in_[6] << 8 | in_[7];
    if (!fill(8 + len, timeout)) return std::nullopt;
    RawFrame f{in_[1], static_cast<std::uint16_t>(in_[2] << 8 | in_[3]),
               static_cast<std::uint16_t>(in_[4] << 8 | in_[5]),
               Bytes(in_.begin() + 8, in_.begin() + 8 + len)};
    in_.erase(in_.begin(), in_.begin() + 8 + len);
    return f;
  }

  // The next frame that is not an unsolicited report.
  std::optional<RawFrame> read_reply(std::chrono::milliseconds timeout = 3s) {
    while (auto f = read_frame(timeout)) {
      if (f->trans != 0xFFFF) return f;
    }
    return std::nullopt;
  }

  // How the connection ended: 0 for an orderly close, an errno for a failure, nullopt if still
  // open.
  std::optional<int> wait_closed(std::chrono::milliseconds timeout = 3s) {
    fill(in_.size() + (1 << 20), timeout);  // reads until the end, whatever comes first
    return closed_;
  }

  const Bytes& received() const { return in_; }

 private:
  int fd_ = -1;
  int error_ = 0;
  Bytes in_;
  std::optional<int> closed_;
};

Bytes login_payload() {
  Bytes p(32, 0);
  const char* user = "admin";
  std::copy(user, user + 5, p.begin());
  p[16] = 'p';
  return p;
}

TEST(SimEndToEnd, LoginOverAPlainSocketGetsTheFamilyReplyAndIsLogged) {
  SimPeer sim;
  ASSERT_TRUE(sim.start({"--port", "47211", "--alarm-port", "47212", "--family", "12", "--quiet"}));
  ASSERT_EQ(sim.data_port(), 47211);
  ASSERT_EQ(sim.alarm_port(), 47212);

  Client data(47211);
  Client alarm(47212);
  ASSERT_TRUE(data.connected());
  ASSERT_TRUE(alarm.connected());
  ASSERT_TRUE(data.send(frame_bytes(20, 43, 1, login_payload())));

  auto reply = data.read_frame();
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(reply->code, 44);
  EXPECT_EQ(reply->module, 20);
  EXPECT_EQ(reply->trans, 1);
  EXPECT_EQ(reply->payload, (Bytes{0, 0, 0, 12}));

  auto login = sim.wait_for(SimPeer::command(43), 3s);
  ASSERT_TRUE(login.has_value());
  EXPECT_EQ((*login)["name"], "Login");
  EXPECT_EQ((*login)["module"], 20);
  EXPECT_EQ((*login)["trans"], 1);
  EXPECT_EQ((*login)["length"], 32);
  EXPECT_EQ((*login)["fields"]["text1"], "61646d696e0000000000000000000000");
  EXPECT_FALSE(login->contains("problems"));
  auto sent = sim.wait_for(SimPeer::sent(44), 3s);
  ASSERT_TRUE(sent.has_value());
  EXPECT_EQ((*sent)["trans"], 1);
  EXPECT_EQ((*sent)["payload"], "0000000c");

  // Alarm bytes are opaque in both directions.
  ASSERT_TRUE(sim.wait_for("alarm-connected", 3s));
  ASSERT_TRUE(alarm.send(Bytes{0xA1, 0xA2}));
  auto alarm_in = sim.wait_for("alarm-bytes", 3s);
  ASSERT_TRUE(alarm_in.has_value());
  EXPECT_EQ((*alarm_in)["hex"], "a1a2");
  ASSERT_EQ(sim.control("alarm 0102")->value("ok", false), true);
  ASSERT_TRUE(alarm.fill(2, 3s));
  EXPECT_EQ(alarm.received(), (Bytes{1, 2}));

  EXPECT_EQ(sim.stop(), 0);
}

TEST(SimEndToEnd, CommandSentByteByByteIsDecodedAndItsScanModeEchoed) {
  SimPeer sim;
  ASSERT_TRUE(sim.start({"--port", "0", "--alarm-port", "0", "--quiet"}));
  Client data(sim.data_port());
  ASSERT_TRUE(data.connected());
  Bytes mode{0x04, 0x00, 0x00, 0x00, 0x10, 0x01, 0x00, 0x00, 0x03, 0xB6, 0xFF, 0xFF, 0x03};
  Bytes frame = frame_bytes(21, 0xF001, 7, mode);
  for (std::uint8_t b : frame) {
    ASSERT_TRUE(data.send(Bytes{b}));
  }
  auto set = data.read_frame();
  ASSERT_TRUE(set.has_value());
  EXPECT_EQ(set->code, 0xF003);
  EXPECT_EQ(set->trans, 7);
  EXPECT_EQ(set->module, 21);

  auto cmd = sim.wait_for(SimPeer::command(0xF001), 3s);
  ASSERT_TRUE(cmd.has_value());
  EXPECT_EQ((*cmd)["fields"]["entries"][0]["first"], 950);
  EXPECT_EQ((*cmd)["fields"]["trailing"], 3);
  EXPECT_EQ((*cmd)["modeName"], "frequency list");

  ASSERT_TRUE(data.send(frame_bytes(21, 0xF00A, 8, {})));
  auto echo = data.read_frame();
  auto result = data.read_frame();
  ASSERT_TRUE(echo && result);
  EXPECT_EQ(echo->code, 0xF00B);
  EXPECT_EQ(echo->payload, mode);
  EXPECT_EQ(result->code, 0xF00C);
  EXPECT_EQ(result->trans, 8);
}

TEST(SimEndToEnd, ScanStreamsReportsUntilStopped) {
  auto bs = std::filesystem::temp_directory_path() /
            ("scanlink-sim-bs-" + std::to_string(::getpid()) + ".csv");
  std::ofstream(bs) << "north,10055,12,116.4,40.0\neast,10055,20,116.5,39.9\n";
  SimPeer sim;
  ASSERT_TRUE(
      sim.start({"--port", "0", "--alarm-port", "0", "--quiet", "--rate", "50", "--speed", "0",
                 "--bs-list", bs.string(), "--bad-cell-every", "2", "--delay-error", "40"}));
  Client data(sim.data_port());
  ASSERT_TRUE(data.connected());
  ASSERT_TRUE(data.send(frame_bytes(20, 0xF004, 2, {})));
  auto started = data.read_frame();
  ASSERT_TRUE(started.has_value());
  EXPECT_EQ(started->code, 0xF006);

  for (int i = 0; i < 3; ++i) {
    auto report = data.read_frame();
    ASSERT_TRUE(report.has_value());
    EXPECT_EQ(report->trans, 0xFFFF);
    ASSERT_EQ(report->code, 0xF025);
    ASSERT_EQ(report->payload.size(), 130u + 50 * 2);
    auto delay = [&](int cell) {
      std::size_t at = 130 + 50 * cell + 48;
      return static_cast<std::int16_t>(report->payload[at] << 8 | report->payload[at + 1]);
    };
    EXPECT_EQ(delay(0), 189);       // 11.1035 km, a good cell
    EXPECT_EQ(delay(1), 145 + 40);  // 8.5 km east, the bad cell
  }
  auto scan = sim.wait_for("scan", 3s);
  ASSERT_TRUE(scan.has_value());
  EXPECT_EQ((*scan)["report"], 0xF025);

  ASSERT_TRUE(data.send(frame_bytes(20, 0xF007, 3, {})));
  auto stopped = data.read_reply();
  ASSERT_TRUE(stopped.has_value());
  EXPECT_EQ(stopped->code, 0xF009);
  // Once the stop is answered nothing more is generated: the next frames are the next replies.
  ASSERT_TRUE(data.send(frame_bytes(20, 0xF030, 4, {})));
  auto battery = data.read_frame();
  ASSERT_TRUE(battery.has_value());
  EXPECT_EQ(battery->code, 0xF031);
  std::filesystem::remove(bs);
}

TEST(SimEndToEnd, ConnectionFaultsReachTheClientAsTheyAreNamed) {
  SimPeer sim;
  ASSERT_TRUE(sim.start({"--port", "0", "--alarm-port", "0", "--quiet"}));
  const std::uint16_t port = sim.data_port();

  {
    Client c(port);
    ASSERT_TRUE(sim.wait_for("data-connected", 3s));
    ASSERT_EQ(sim.control("close-data")->value("ok", false), true);
    EXPECT_EQ(c.wait_closed(), 0) << "orderly close";
  }
  {
    auto m = sim.mark();
    Client c(port);
    ASSERT_TRUE(sim.wait_for("data-connected", 3s, m));
    ASSERT_EQ(sim.control("reset-data")->value("ok", false), true);
    EXPECT_EQ(c.wait_closed(), ECONNRESET);
  }
  {
    auto m = sim.mark();
    Client c(port);
    ASSERT_TRUE(sim.wait_for("data-connected", 3s, m));
    ASSERT_EQ(sim.control("reset-mid-frame")->value("ok", false), true);
    EXPECT_EQ(c.wait_closed(), ECONNRESET);
    ASSERT_GE(c.received().size(), 8u) << "the header and part of the payload arrive first";
    std::size_t frame_length = 8 + (c.received()[6] << 8 | c.received()[7]);
    EXPECT_LT(c.received().size(), frame_length);
  }
  {
    auto m = sim.mark();
    Client first(port);
    ASSERT_TRUE(sim.wait_for("data-connected", 3s, m));
    Client second(port);
    auto closed = sim.wait_for("data-closed", 3s, m);
    ASSERT_TRUE(closed.has_value());
    EXPECT_EQ((*closed)["reason"], "replaced");
    EXPECT_EQ(first.wait_closed(), 0);
    ASSERT_TRUE(second.send(frame_bytes(20, 43, 9, login_payload())));
    EXPECT_EQ(second.read_frame()->code, 44);
  }
  {
    auto m = sim.mark();
    ASSERT_EQ(sim.control("stop-listening 300")->value("ok", false), true);
    Client refused(port);
    EXPECT_FALSE(refused.connected());
    EXPECT_EQ(refused.connect_error(), ECONNREFUSED);
    ASSERT_TRUE(sim.wait_for("listening", 3s, m));
    Client back(port);
    EXPECT_TRUE(back.connected());
  }
  {
    ASSERT_EQ(sim.control("refuse-alarm on")->value("ok", false), true);
    Client refused(sim.alarm_port());
    EXPECT_EQ(refused.connect_error(), ECONNREFUSED);
    auto m = sim.mark();
    ASSERT_EQ(sim.control("refuse-alarm off")->value("ok", false), true);
    ASSERT_TRUE(sim.wait_for("listening", 3s, m));
    Client alarm(sim.alarm_port());
    EXPECT_TRUE(alarm.connected());
  }
}

TEST(SimEndToEnd, ControlBuildsArbitraryFramesAndRawBytes) {
  SimPeer sim;
  ASSERT_TRUE(sim.start({"--port", "0", "--alarm-port", "0", "--quiet"}));
  Client data(sim.data_port());
  ASSERT_TRUE(sim.wait_for("data-connected", 3s));
  ASSERT_EQ(sim.control("frame 0xF028 0xFFFF 000000010002 9")->value("ok", false), true);
  auto f = data.read_frame();
  ASSERT_TRUE(f.has_value());
  EXPECT_EQ(f->module, 9);
  EXPECT_EQ(f->code, 0xF028);
  EXPECT_EQ(f->payload, (Bytes{0, 0, 0, 1, 0, 2}));
  ASSERT_EQ(sim.control("send 55 00 00 25 ff ff 00 02 12")->value("ok", false), true);
  ASSERT_TRUE(data.fill(9, 3s));
  EXPECT_EQ(data.received().back(), 0x12);

  auto bad = sim.control("frame 44");
  ASSERT_TRUE(bad.has_value());
  EXPECT_EQ((*bad)["ok"], false);
  EXPECT_TRUE(bad->contains("error"));
}

TEST(SimEndToEnd, ExitsCleanlyOnSigtermAndOnEndOfStdin) {
  SimPeer by_signal;
  ASSERT_TRUE(by_signal.start({"--port", "0", "--alarm-port", "0", "--quiet"}));
  auto listening = by_signal.wait_for("listening", 1s);
  ASSERT_TRUE(listening.has_value());
  ASSERT_EQ(::kill((*listening)["pid"].get<pid_t>(), SIGTERM), 0);
  auto exit = by_signal.wait_for("exit", 3s);
  ASSERT_TRUE(exit.has_value());
  EXPECT_EQ((*exit)["reason"], "signal");
  EXPECT_EQ(by_signal.stop(), 0);

  SimPeer by_eof;
  ASSERT_TRUE(by_eof.start({"--port", "0", "--alarm-port", "0", "--quiet"}));
  EXPECT_EQ(by_eof.stop(), 0);
  EXPECT_TRUE(by_eof.wait_for("exit", 0ms).has_value());
  EXPECT_FALSE(by_eof.running());
}

}  // namespace
