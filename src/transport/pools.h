// The engine's fixed tables: registered modules, outstanding transactions and received-frame
// descriptors. Each is a FreeList; an index is also the identifier the rest of the library
// uses. Callers hold the library lock.
#pragma once

#include <cstdint>

#include "codec/frame_header.h"
#include "transport/free_list.h"

class CMyPcCommInterface;

namespace scanlink::transport {

struct ObjectNode {
  CMyPcCommInterface* pInterface;
  uint8_t nModuleID;
  ObjectNode* pNext;
  ObjectNode* pPrev;
  int32_t nNextFree;
};

// Module ids 20..31 and the registered-module list in registration order.
class ObjectTable {
 public:
  static constexpr int kSize = 32;
  static constexpr int kFirstId = 20;

  void Init();
  uint8_t AllocObjectSlot();
  void FreeObjectSlot(uint8_t id);
  void AppendObject(ObjectNode* node);
  void RemoveObject(ObjectNode* node);
  ObjectNode* Node(uint8_t id) { return &slots_[id % kSize]; }
  ObjectNode* Head() const { return head_; }
  ObjectNode* Find(const CMyPcCommInterface* module) const;

 private:
  FreeList<ObjectNode, kSize, kFirstId> slots_;
  ObjectNode* head_ = nullptr;
};

struct TransInfo {
  uint8_t nSourceID;
  int32_t nNextFree;
  uint32_t nGeneration;  // the link the request went out on
  uint32_t nSerial;      // which use of the id this is
  uint64_t nSentMs;      // when it was taken
};

// Transaction ids 1..1023, the range the frame header allows a request.
class TransInfoTable {
 public:
  static constexpr int kSize = codec::kLastRequestTrans + 1;

  void Init();
  uint16_t AllocTransID();
  TransInfo* GetTransInfo(uint16_t id);
  void FreeTransID(uint16_t id);
  // Frees id only while it still belongs to the request that took it as serial.
  void FreeTransID(uint16_t id, uint32_t serial);
  // Ids handed out and not yet returned (the free list's tail counts as free).
  int InUse() const { return entries_.InUse(); }
  // Frees every id still open on links up to generation; returns how many.
  int ReclaimUpTo(uint32_t generation);
  // Frees every id taken before sentBeforeMs; returns how many.
  int ReclaimSentBefore(uint64_t sentBeforeMs);

 private:
  FreeList<TransInfo, kSize, 1> entries_;
  uint32_t serial_ = 0;
};

// One entry of the message queue: a received frame, or the mark a finished link leaves behind
// the frames it received.
struct RecvBuffer {
  enum class Kind : uint8_t {
    kFrame,    // pBuf holds nLen bytes of one whole frame
    kReclaim,  // no frame: requests still open on links up to nGeneration are freed
  };
  Kind kind;
  unsigned char* pBuf;  // one whole frame, header included; at most codec::kMaxFrame bytes
  int32_t nLen;
  int32_t nIndex;
  int32_t nNextFree;
  RecvBuffer* pNextMsg;
  uint32_t nGeneration;
};

// Descriptors 1..8191 of received frames waiting for dispatch.
class RecvBufferPool {
 public:
  static constexpr int kSize = 8192;

  void Init();
  int32_t AllocRecvBuffer();
  void FreeRecvBuffer(int32_t index);
  RecvBuffer* Descriptor(int32_t index) { return &buffers_[index]; }
  // How many more descriptors can be handed out (the last free one never is).
  int Available() const { return buffers_.Available(); }

 private:
  FreeList<RecvBuffer, kSize, 1> buffers_;
};

// The FIFO of received frames between the listening thread and the Msg proc threads.
class MsgQueue {
 public:
  static constexpr int kOverflowMark = 8190;

  // Returns true when the queue has just reached the overflow mark.
  bool PushMsgQTail(RecvBuffer* d);
  RecvBuffer* PopMsgQHead();
  bool Empty() const { return head_ == nullptr; }
  int Count() const { return count_; }

 private:
  RecvBuffer* head_ = nullptr;
  RecvBuffer* tail_ = nullptr;
  int count_ = 0;
};

}  // namespace scanlink::transport
