// An in-process stand-in for the scanner on 127.0.0.1: accepts the data and alarm connections,
// records what arrives, cuts frames from the data stream and can answer them. Tests that need
// the full simulator use SimPeer instead; this one gives precise control over the sockets.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace scanlink::test {

using Bytes = std::vector<uint8_t>;

struct Frame {
  uint8_t module;
  uint16_t code;
  uint16_t trans;
  Bytes payload;
};

Bytes MakeFrame(uint16_t code, uint16_t trans, const Bytes& payload, uint8_t module = 0);

class LoopbackPeer {
 public:
  // Called for every whole frame on the data connection; may return bytes to send back.
  using Responder = std::function<std::optional<Bytes>(const Frame&)>;

  LoopbackPeer() = default;
  ~LoopbackPeer();

  // Listens on 127.0.0.1:dataPort and, when alarm is true, on 127.0.0.1:8050.
  bool Start(uint16_t dataPort, bool alarm = true);
  void Stop();

  void SetResponder(Responder r);
  // Answers every request with its code + 1 and a 4-byte payload, echoing module and trans.
  void EchoReplies();
  // Stops reading the data connection (the library's sends then fill the socket buffers).
  void SetStalled(bool stalled);
  // Reads at most bytes of the data connection every everyMs (bytes 0: as fast as it comes).
  void SetSlowReader(int bytes, int everyMs);

  int DataAccepts() const { return dataAccepts_.load(); }
  int AlarmAccepts() const { return alarmAccepts_.load(); }
  bool WaitDataAccepts(int n, std::chrono::milliseconds timeout);
  bool WaitAlarmAccepts(int n, std::chrono::milliseconds timeout);
  // Waits until at least n frames have arrived; returns a snapshot.
  std::vector<Frame> WaitFrames(size_t n, std::chrono::milliseconds timeout);
  std::vector<Frame> Frames();
  Bytes AlarmBytes();
  bool WaitAlarmBytes(size_t n, std::chrono::milliseconds timeout);

  void SendData(const Bytes& bytes);
  void SendAlarm(const Bytes& bytes);
  // Closes the data (or alarm) connection from the peer's side.
  void CloseData();
  void CloseAlarm();
  // Aborts the data connection: the library sees a reset, not an orderly close.
  void ResetData();
  // Descriptors the peer holds open now: listeners, its wake socket and accepted connections.
  int OpenDescriptors() const;

 private:
  void Run();
  void Wake();
  void HandleData(intptr_t fd, size_t most);
  bool SendAll(intptr_t fd, const Bytes& bytes);
  void CloseHandle(intptr_t& fd);
  void CloseConnection(intptr_t& fd);  // an accepted connection

  // Socket handles; -1 is none. wake_ is a datagram socket connected to itself.
  intptr_t listenData_ = -1, listenAlarm_ = -1, wake_ = -1;
  intptr_t data_ = -1, alarm_ = -1;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> stalled_{false};
  std::atomic<int> slowBytes_{0}, slowEveryMs_{0};
  std::atomic<int> dataAccepts_{0}, alarmAccepts_{0};
  std::atomic<int> connections_{0};  // accepted and not yet closed

  std::mutex mutex_;
  std::condition_variable changed_;
  Responder responder_;
  Bytes stream_;  // data bytes not yet cut into frames
  std::vector<Frame> frames_;
  Bytes alarmBytes_;
  std::vector<Bytes> pendingData_, pendingAlarm_;
  bool closeData_ = false, closeAlarm_ = false, resetData_ = false;
};

}  // namespace scanlink::test
