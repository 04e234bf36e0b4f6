#include "integration/loopback_peer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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

static int ListenOn(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(fd, 8) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

LoopbackPeer::~LoopbackPeer() { Stop(); }

bool LoopbackPeer::Start(uint16_t dataPort, bool alarm) {
  stop_ = false;
  listenData_ = ListenOn(dataPort);
  if (listenData_ < 0) return false;
  if (alarm) {
    listenAlarm_ = ListenOn(8050);
    if (listenAlarm_ < 0) return false;
  }
  int p[2];
  if (pipe2(p, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  wakeR_ = p[0];
  wakeW_ = p[1];
  thread_ = std::thread([this] { Run(); });
  return true;
}

void LoopbackPeer::Stop() {
  if (!thread_.joinable()) return;
  stop_ = true;
  Wake();
  thread_.join();
  for (int* fd : {&listenData_, &listenAlarm_, &wakeR_, &wakeW_, &data_, &alarm_}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
  connections_ = 0;
}

int LoopbackPeer::OpenDescriptors() const {
  if (!thread_.joinable()) return 0;
  return 3 + (listenAlarm_ >= 0 ? 1 : 0) + connections_.load();
}

void LoopbackPeer::ResetData() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    resetData_ = true;
  }
  Wake();
}

void LoopbackPeer::CloseConnection(int& fd) {
  if (fd < 0) return;
  close(fd);
  fd = -1;
  --connections_;
}

void LoopbackPeer::Wake() {
  char c = 1;
  if (wakeW_ >= 0) {
    ssize_t r = write(wakeW_, &c, 1);
    (void)r;
  }
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

bool LoopbackPeer::SendAll(int fd, const Bytes& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t r = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (r < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) {
        pollfd p{fd, POLLOUT, 0};
        poll(&p, 1, 100);
        continue;
      }
      return false;
    }
    sent += static_cast<size_t>(r);
  }
  return true;
}

void LoopbackPeer::HandleData(int fd) {
  uint8_t buf[65536];
  ssize_t n = recv(fd, buf, sizeof buf, 0);
  if (n <= 0) {
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
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
      linger abort{1, 0};
      setsockopt(data_, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
      CloseConnection(data_);
    }
    if (closeData) CloseConnection(data_);
    if (closeAlarm) CloseConnection(alarm_);

    pollfd p[5];
    int n = 0;
    p[n++] = {wakeR_, POLLIN, 0};
    const int iListenData = n;
    p[n++] = {listenData_, POLLIN, 0};
    const int iListenAlarm = listenAlarm_ >= 0 ? n : -1;
    if (listenAlarm_ >= 0) p[n++] = {listenAlarm_, POLLIN, 0};
    const int iData = data_ >= 0 && !stalled_ ? n : -1;
    if (iData >= 0) p[n++] = {data_, POLLIN, 0};
    const int iAlarm = alarm_ >= 0 ? n : -1;
    if (iAlarm >= 0) p[n++] = {alarm_, POLLIN, 0};
    if (poll(p, static_cast<nfds_t>(n), 1000) <= 0) continue;
    if (p[0].revents) {
      char drain[64];
      while (read(wakeR_, drain, sizeof drain) > 0) {
      }
    }
    if (p[iListenData].revents) {
      int fd = accept4(listenData_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
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
      int fd = accept4(listenAlarm_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (fd >= 0) {
        CloseConnection(alarm_);
        alarm_ = fd;
        ++connections_;
        std::lock_guard<std::mutex> lock(mutex_);
        ++alarmAccepts_;
      }
      changed_.notify_all();
    }
    if (iData >= 0 && p[iData].revents) HandleData(data_);
    if (iAlarm >= 0 && p[iAlarm].revents && alarm_ >= 0) {
      uint8_t buf[4096];
      ssize_t r = recv(alarm_, buf, sizeof buf, 0);
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
