// The engine's fixed tables: registered modules and outstanding transactions. Each is a
// FreeList; an index is also the identifier the rest of the library uses. Callers hold the
// library lock.
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
  template <typename Pred>
  int ReclaimIf(Pred&& reclaim);

  FreeList<TransInfo, kSize, 1> entries_;
  uint32_t serial_ = 0;
};

}  // namespace scanlink::transport
