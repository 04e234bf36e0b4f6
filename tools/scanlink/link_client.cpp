#include "link_client.h"

#include <cstdio>
#include <cstring>

#include "codec/frame_header.h"
#include "timestamp.h"

namespace scanlink::cli {

std::unique_ptr<CCmdManage> DecodeFrame(const uint8_t* f, size_t n) {
  const codec::FrameHeader header = codec::read_header(f);
  auto message =
      std::make_unique<CMyPcCommMessage>(header.code, static_cast<uint16_t>(n - codec::kHeaderSize),
                                         header.transId, f + codec::kHeaderSize);
  auto record = std::make_unique<CCmdManage>();
  record->DecodeMessage(*message);
  return record;
}

LinkClient::LinkClient() { registered_ = client_.ClientRegisterModule(this, 1); }

LinkClient::~LinkClient() {
  Close();
  if (registered_) client_.ClientRegisterModule(this, 0);
}

std::string LinkClient::Connect(const std::string& host, int port) {
  std::snprintf(gHostAddr, sizeof gHostAddr, "%s", host.c_str());
  nTcpPort = port;
  gLinkDownFlag = 0;
  switch (client_.ClientInitPcComm()) {
    case 0:
      return {};
    case 1:
      return host + " does not answer (reachability probe or set-up failed)";
    case 2:
      return "cannot connect to " + host + ":" + std::to_string(port);
    case 6:
      return "link to " + host + " is down after a failed reconnection";
    default:
      return "bring-up failed";
  }
}

std::optional<uint32_t> LinkClient::Login(const std::string& user, const std::string& password,
                                          std::chrono::milliseconds timeout,
                                          std::vector<LinkEvent>* seen) {
  char text1[16] = {}, text2[16] = {};
  std::strncpy(text1, user.c_str(), sizeof text1 - 1);
  std::strncpy(text2, password.c_str(), sizeof text2 - 1);
  const int trans = client_.LoginScaner(text1, text2);
  if (trans == 0) return std::nullopt;
  auto reply = WaitReply(trans, Clock::now() + timeout, seen);
  if (!reply || reply->nCode != 44) return std::nullopt;
  return reply->body.family.nFamilyValue;
}

void LinkClient::Close() {
  if (closed_) return;
  closed_ = true;
  client_.ExitConnection();
}

std::optional<LinkEvent> LinkClient::Next(Clock::time_point deadline) {
  std::unique_lock<std::mutex> lock(mutex_);
  wake_.wait_until(lock, deadline, [&] { return !queue_.empty() || woken_; });
  woken_ = false;
  if (queue_.empty()) return std::nullopt;
  LinkEvent e = std::move(queue_.front());
  queue_.pop_front();
  return e;
}

void LinkClient::Wake() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    woken_ = true;
  }
  wake_.notify_all();
}

std::shared_ptr<const CCmdManage> LinkClient::WaitReply(int trans, Clock::time_point deadline,
                                                        std::vector<LinkEvent>* seen) {
  while (auto e = Next(deadline)) {
    if (e->kind == LinkEvent::kRecord && e->record->nTransID == trans) {
      auto reply = e->record;
      if (seen) seen->push_back(std::move(*e));
      return reply;
    }
    if (seen) seen->push_back(std::move(*e));
  }
  return nullptr;
}

void LinkClient::ConnectMsg(bool connected) {
  Push(LinkEvent{LinkEvent::kConnect, nullptr, connected, NowUs()});
}

void LinkClient::ProcPcCommMsg(CCmdManage& message) {
  Push(LinkEvent{LinkEvent::kRecord, std::make_shared<const CCmdManage>(message), false, NowUs()});
}

void LinkClient::Push(LinkEvent event) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back(std::move(event));
  }
  wake_.notify_all();
}

}  // namespace scanlink::cli
