// The library's client with one module that queues what arrives, so the tool's main thread
// prints and decides while the library's threads only copy and wake it.
#pragma once

#include <scanlink/scanlink.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace scanlink::cli {

struct LinkEvent {
  enum Kind { kRecord, kConnect } kind;
  std::shared_ptr<const CCmdManage> record;  // kRecord
  bool connected = false;                    // kConnect
  int64_t timeUs = -1;                       // when it arrived, UTC microseconds
};

// A whole frame (header and payload) decoded as the library decodes what it receives.
std::unique_ptr<CCmdManage> DecodeFrame(const uint8_t* frame, size_t length);

class LinkClient : private CMyPcCommInterface {
 public:
  using Clock = std::chrono::steady_clock;

  LinkClient();
  ~LinkClient() override;
  LinkClient(const LinkClient&) = delete;
  LinkClient& operator=(const LinkClient&) = delete;

  // Brings the link up; empty on success, else why not.
  std::string Connect(const std::string& host, int port);
  // Logs in and waits for the login reply; its family value, or nothing when the scanner sent
  // no reply in time (a refused login).
  std::optional<uint32_t> Login(const std::string& user, const std::string& password,
                                std::chrono::milliseconds timeout, std::vector<LinkEvent>* seen);
  // Stops the library's threads and closes the link; safe to call twice.
  void Close();

  // The next event, or nothing once the deadline passes or Wake() is called.
  std::optional<LinkEvent> Next(Clock::time_point deadline);
  void Wake();
  // Waits for the reply of transaction trans with one of the given codes (0 = any code); the
  // events met on the way are appended to seen (when given).
  std::shared_ptr<const CCmdManage> WaitReply(int trans, Clock::time_point deadline,
                                              std::vector<LinkEvent>* seen);

  CMyPcCommSocketClient& client() { return client_; }

 private:
  void ConnectMsg(bool connected) override;
  void ProcPcCommMsg(CCmdManage& message) override;
  void Push(LinkEvent event);

  CMyPcCommSocketClient client_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<LinkEvent> queue_;
  bool woken_ = false;
  bool registered_ = false;
  bool closed_ = false;
};

}  // namespace scanlink::cli
