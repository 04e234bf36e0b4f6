#include "integration/loopback_peer.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "integration/net_compat.h"

namespace scanlink::test {

Bytes MakeFrame(uint16_t code, uint16_t trans, const Bytes& payload, uint8_t module) {
  Bytes f(8 + payload.size());
  f[0] = 0x55;
  f[1] = module;
  f[2] = static_cast<uint8_t>(code >> 8);
  f[3] = static_cast<uint8_t>(code);
  f[4] = static_cast<uint8_t>(trans >> 8);
  f[5] = static_cast<uint8_t>(trans);
  f[6] = static_cast<uint8_t>(payload.size() >> 8);
  f[7] = static_cast<uint8_t>(payload.size());
  if (!payload.empty()) std::memcpy(f.data() + 8, payload.data(), payload.size());
  return f;
}

static intptr_t ListenOn(uint16_t port) {
  net::Socket fd = net::NewSocket(SOCK_STREAM);
  if (!net::Valid(fd)) return -1;
  net::AllowReuse(fd);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(fd, 8) != 0) {
    net::Close(fd);
    return -1;
  }
  return net::ToHandle(fd);
}

// A datagram socket connected to itself: one byte sent wakes a poll on it.
static intptr_t WakeSocket() {
  net::Socket fd = net::NewSocket(SOCK_DGRAM);
  if (!net::Valid(fd)) return -1;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sa;
  if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0 ||
      connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || !net::SetNonBlocking(fd)) {
    net::Close(fd);
    return -1;
  }
  return net::ToHandle(fd);
}

// Accepted connections are non-blocking: a connection replaced within one pass of the loop must
// never leave the peer blocked in a read.
static intptr_t AcceptConnection(intptr_t listener) {
  const net::Socket fd = net::Accept(net::FromHandle(listener));
  if (net::Valid(fd)) net::SetNonBlocking(fd);
  return net::ToHandle(fd);
}

void LoopbackPeer::CloseHandle(intptr_t& fd) {
  if (fd >= 0) net::Close(net::FromHandle(fd));
  fd = -1;
}

LoopbackPeer::~LoopbackPeer() { Stop(); }

bool LoopbackPeer::Start(uint16_t dataPort, bool alarm) {
  stop_ = false;
  if (!net::Start()) return false;
  listenData_ = ListenOn(dataPort);
  if (listenData_ < 0) return false;
  if (alarm) {
    listenAlarm_ = ListenOn(8050);
    if (listenAlarm_ < 0) return false;
  }
  wake_ = WakeSocket();
  if (wake_ < 0) return false;
  thread_ = std::thread([this] { Run(); });
  return true;
}

void LoopbackPeer::Stop() {
  if (!thread_.joinable()) return;
  stop_ = true;
  Wake();
  thread_.join();
  for (intptr_t* fd : {&listenData_, &listenAlarm_, &wake_, &data_, &alarm_}) CloseHandle(*fd);
  connections_ = 0;
}

int LoopbackPeer::OpenDescriptors() const {
  if (!thread_.joinable()) return 0;
  return 2 + (listenAlarm_ >= 0 ? 1 : 0) + connections_.load();
}

void LoopbackPeer::ResetData() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    resetData_ = true;
  }
  Wake();
}

void LoopbackPeer::CloseConnection(intptr_t& fd) {
  if (fd < 0) return;
  CloseHandle(fd);
  --connections_;
}

void LoopbackPeer::Wake() {
  char c = 1;
  if (wake_ >= 0) net::Send(net::FromHandle(wake_), &c, 1);
}

void LoopbackPeer::SetResponder(Responder r) {
  std::lock_guard<std::mutex> lock(mutex_);
  responder_ = std::move(r);
}

void LoopbackPeer::EchoReplies() {
  SetResponder([](const Frame& f) -> std::optional<Bytes> {
    return MakeFrame(static_cast<uint16_t>(f.code + 1), f.trans, {0, 0, 0, 11}, f.module);
  });
}

void LoopbackPeer::SetStalled(bool stalled) {
  stalled_ = stalled;
  Wake();
}

void LoopbackPeer::SetSlowReader(int bytes, int everyMs) {
  slowEveryMs_ = everyMs;
  slowBytes_ = bytes;
  Wake();
}

bool LoopbackPeer::WaitDataAccepts(int n, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return dataAccepts_.load() >= n; });
}

bool LoopbackPeer::WaitAlarmAccepts(int n, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return alarmAccepts_.load() >= n; });
}

std::vector<Frame> LoopbackPeer::WaitFrames(size_t n, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_for(lock, timeout, [&] { return frames_.size() >= n; });
  return frames_;
}

std::vector<Frame> LoopbackPeer::Frames() {
  std::lock_guard<std::mutex> lock(mutex_);
  return frames_;
}

Bytes LoopbackPeer::AlarmBytes() {
  std::lock_guard<std::mutex> lock(mutex_);
  return alarmBytes_;
}

bool LoopbackPeer::WaitAlarmBytes(size_t n, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return alarmBytes_.size() >= n; });
}

void LoopbackPeer::SendData(const Bytes& bytes) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    pendingData_.push_back(bytes);
  }
  Wake();
}

void LoopbackPeer::SendAlarm(const Bytes& bytes) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    pendingAlarm_.push_back(bytes);
  }
  Wake();
}

void LoopbackPeer::CloseData() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closeData_ = true;
  }
  Wake();
}

void LoopbackPeer::CloseAlarm() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closeAlarm_ = true;
  }
  Wake();
}

bool LoopbackPeer::SendAll(intptr_t fd, const Bytes& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const long r = net::Send(net::FromHandle(fd), bytes.data() + sent, bytes.size() - sent);
    if (r < 0) {
      if (net::Interrupted()) continue;
      if (net::WouldBlock()) {
        net::PollFd p{net::FromHandle(fd), POLLOUT, 0};
        net::Poll(&p, 1, 100);
        continue;
      }
      return false;
    }
    sent += static_cast<size_t>(r);
  }
  return true;
}

void LoopbackPeer::HandleData(intptr_t fd, size_t most) {
  uint8_t buf[65536];
  const long n = net::Recv(net::FromHandle(fd), buf, std::min(most, sizeof buf));
  if (n <= 0) {
    if (n < 0 && (net::Interrupted() || net::WouldBlock())) return;
    CloseConnection(data_);
    return;
  }
  std::vector<Bytes> replies;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stream_.insert(stream_.end(), buf, buf + n);
    size_t pos = 0;
    while (stream_.size() - pos >= 8) {
      const uint8_t* h = stream_.data() + pos;
      const size_t len = 8 + (static_cast<size_t>(h[6]) << 8 | h[7]);
      if (stream_.size() - pos < len) break;
      Frame f{h[1], static_cast<uint16_t>(h[2] << 8 | h[3]),
              static_cast<uint16_t>(h[4] << 8 | h[5]), Bytes(h + 8, h + len)};
      if (responder_) {
        if (auto reply = responder_(f)) replies.push_back(std::move(*reply));
      }
      frames_.push_back(std::move(f));
      pos += len;
    }
    stream_.erase(stream_.begin(), stream_.begin() + static_cast<long>(pos));
  }
  changed_.notify_all();
  for (const Bytes& r : replies) SendAll(fd, r);
}

void LoopbackPeer::Run() {
  std::chrono::steady_clock::time_point nextRead{};  // a slow reader's next read
  while (!stop_) {
    std::vector<Bytes> toData, toAlarm;
    bool closeData, closeAlarm, resetData;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      toData.swap(pendingData_);
      toAlarm.swap(pendingAlarm_);
      closeData = closeData_;
      closeAlarm = closeAlarm_;
      resetData = resetData_;
      closeData_ = closeAlarm_ = resetData_ = false;
    }
    for (const Bytes& b : toData) {
      if (data_ >= 0) SendAll(data_, b);
    }
    for (const Bytes& b : toAlarm) {
      if (alarm_ >= 0) SendAll(alarm_, b);
    }
    if (resetData && data_ >= 0) {
      linger abort{};
      abort.l_onoff = 1;
      abort.l_linger = 0;
      setsockopt(net::FromHandle(data_), SOL_SOCKET, SO_LINGER,
                 reinterpret_cast<const char*>(&abort), sizeof abort);
      CloseConnection(data_);
    }
    if (closeData) CloseConnection(data_);
    if (closeAlarm) CloseConnection(alarm_);

    net::PollFd p[5];
    int n = 0;
    auto add = [&](intptr_t fd) {
      p[n] = {net::FromHandle(fd), POLLIN, 0};
      return n++;
    };
    add(wake_);
    const int iListenData = add(listenData_);
    const int iListenAlarm = listenAlarm_ >= 0 ? add(listenAlarm_) : -1;
    const int slowBytes = slowBytes_.load();
    const auto rest = nextRead - std::chrono::steady_clock::now();
    const bool resting = slowBytes > 0 && rest.count() > 0;
    const int iData = data_ >= 0 && !stalled_ && !resting ? add(data_) : -1;
    const int iAlarm = alarm_ >= 0 ? add(alarm_) : -1;
    const int waitMs =
        resting ? static_cast<int>(
                      std::chrono::duration_cast<std::chrono::milliseconds>(rest).count() + 1)
                : 1000;
    if (net::Poll(p, static_cast<size_t>(n), waitMs) <= 0) continue;
    if (p[0].revents) {
      char drain[64];
      while (net::Recv(net::FromHandle(wake_), drain, sizeof drain) > 0) {
      }
    }
    if (p[iListenData].revents) {
      const intptr_t fd = AcceptConnection(listenData_);
      if (fd >= 0) {
        CloseConnection(data_);
        data_ = fd;
        ++connections_;
        std::lock_guard<std::mutex> lock(mutex_);
        stream_.clear();
        ++dataAccepts_;
      }
      changed_.notify_all();
    }
    if (iListenAlarm >= 0 && p[iListenAlarm].revents) {
      const intptr_t fd = AcceptConnection(listenAlarm_);
      if (fd >= 0) {
        CloseConnection(alarm_);
        alarm_ = fd;
        ++connections_;
        std::lock_guard<std::mutex> lock(mutex_);
        ++alarmAccepts_;
      }
      changed_.notify_all();
    }
    if (iData >= 0 && p[iData].revents) {
      HandleData(data_, slowBytes > 0 ? static_cast<size_t>(slowBytes) : SIZE_MAX);
      if (slowBytes > 0)
        nextRead = std::chrono::steady_clock::now() + std::chrono::milliseconds(slowEveryMs_);
    }
    if (iAlarm >= 0 && p[iAlarm].revents && alarm_ >= 0) {
      uint8_t buf[4096];
      const long r = net::Recv(net::FromHandle(alarm_), buf, sizeof buf);
      if (r > 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        alarmBytes_.insert(alarmBytes_.end(), buf, buf + r);
      } else if (r == 0) {
        CloseConnection(alarm_);
      }
      changed_.notify_all();
    }
  }
}

}  // namespace scanlink::test
