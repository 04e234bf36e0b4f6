#include "transport/pools.h"

#include <cstring>

namespace scanlink::transport {

// ---- ObjectTable ----

void ObjectTable::Init() {
  std::memset(static_cast<void*>(slots_), 0, sizeof slots_);
  for (int i = kFirstId; i < kSize - 1; ++i) slots_[i].nNextFree = i + 1;
  slots_[kSize - 1].nNextFree = 0;
  freeHead_ = kFirstId;
  freeTail_ = kSize - 1;
  head_ = nullptr;
}

uint8_t ObjectTable::AllocObjectSlot() {
  if (freeHead_ < kFirstId || freeTail_ > kSize - 1 || freeHead_ == freeTail_) return 0;
  const uint8_t id = freeHead_;
  freeHead_ = static_cast<uint8_t>(slots_[id].nNextFree);
  slots_[id] = ObjectNode{};
  return id;
}

void ObjectTable::FreeObjectSlot(uint8_t id) {
  if (id == 0 || id >= kSize || slots_[id].nNextFree != 0) return;
  slots_[freeTail_].nNextFree = id;
  freeTail_ = id;
  slots_[id] = ObjectNode{};
}

void ObjectTable::AppendObject(ObjectNode* node) {
  if (head_ == nullptr) {
    head_ = node;
    node->pNext = nullptr;
    node->pPrev = nullptr;
    return;
  }
  ObjectNode* last = head_;
  while (last->pNext != nullptr) last = last->pNext;
  last->pNext = node;
  node->pNext = nullptr;
  node->pPrev = last;
}

void ObjectTable::RemoveObject(ObjectNode* node) {
  ObjectNode* p = head_;
  while (p != nullptr && p != node) p = p->pNext;
  if (p == nullptr) return;
  if (node == head_) {
    head_ = node->pNext;
    if (head_ != nullptr) head_->pPrev = nullptr;
  } else if (node->pNext == nullptr) {
    node->pPrev->pNext = nullptr;
  } else {
    node->pPrev->pNext = node->pNext;
    node->pNext->pPrev = node->pPrev;
  }
}

ObjectNode* ObjectTable::Find(const CMyPcCommInterface* module) const {
  for (ObjectNode* p = head_; p != nullptr; p = p->pNext) {
    if (p->pInterface == module) return p;
  }
  return nullptr;
}

// ---- TransInfoTable ----

void TransInfoTable::Init() {
  std::memset(static_cast<void*>(entries_), 0, sizeof entries_);
  for (int i = 1; i < kSize - 1; ++i) entries_[i].nNextFree = i + 1;
  entries_[kSize - 1].nNextFree = 0;
  freeHead_ = 1;
  freeTail_ = kSize - 1;
  inUse_ = 0;
}

uint16_t TransInfoTable::AllocTransID() {
  if (freeHead_ == 0 || freeTail_ > kSize - 1 || freeHead_ == freeTail_) return 0;
  const uint16_t id = freeHead_;
  freeHead_ = static_cast<uint16_t>(entries_[id].nNextFree);
  entries_[id] = TransInfo{};
  entries_[id].nSerial = ++serial_;
  ++inUse_;
  return id;
}

TransInfo* TransInfoTable::GetTransInfo(uint16_t id) {
  if (id == 0 || id >= kSize || entries_[id].nNextFree != 0) return nullptr;
  return &entries_[id];
}

void TransInfoTable::FreeTransID(uint16_t id) {
  if (id == 0 || id >= kSize || entries_[id].nNextFree != 0) return;
  // Releasing the tail again leaves the list as it was.
  if (id != freeTail_) --inUse_;
  entries_[freeTail_].nNextFree = id;
  freeTail_ = id;
  entries_[id] = TransInfo{};
}

void TransInfoTable::FreeTransID(uint16_t id, uint32_t serial) {
  const TransInfo* e = GetTransInfo(id);
  if (e != nullptr && e->nSerial == serial) FreeTransID(id);
}

int TransInfoTable::ReclaimSentBefore(uint64_t sentBeforeMs) {
  int freed = 0;
  for (uint16_t id = 1; id < kSize; ++id) {
    const TransInfo& e = entries_[id];
    if (e.nNextFree == 0 && id != freeTail_ && e.nSentMs < sentBeforeMs) {
      FreeTransID(id);
      ++freed;
    }
  }
  return freed;
}

int TransInfoTable::ReclaimUpTo(uint32_t generation) {
  int freed = 0;
  for (uint16_t id = 1; id < kSize; ++id) {
    const TransInfo& e = entries_[id];
    if (e.nNextFree == 0 && id != freeTail_ && e.nGeneration <= generation) {
      FreeTransID(id);
      ++freed;
    }
  }
  return freed;
}

// ---- RecvBufferPool ----

void RecvBufferPool::Init() {
  std::memset(static_cast<void*>(buffers_), 0, sizeof buffers_);
  for (int i = 1; i < kSize - 1; ++i) buffers_[i].nNextFree = i + 1;
  buffers_[kSize - 1].nNextFree = 0;
  freeHead_ = 1;
  freeTail_ = kSize - 1;
  available_ = kSize - 2;
}

int32_t RecvBufferPool::AllocRecvBuffer() {
  if (freeHead_ <= 0 || freeTail_ > kSize - 1 || freeHead_ == freeTail_) return 0;
  const int32_t index = freeHead_;
  freeHead_ = buffers_[index].nNextFree;
  buffers_[index] = RecvBuffer{};
  --available_;
  return index;
}

void RecvBufferPool::FreeRecvBuffer(int32_t index) {
  if (index <= 0 || index >= kSize || buffers_[index].nNextFree != 0) return;
  if (index != freeTail_) ++available_;
  buffers_[freeTail_].nNextFree = index;
  freeTail_ = index;
  buffers_[index] = RecvBuffer{};
}

// ---- MsgQueue ----

bool MsgQueue::PushMsgQTail(RecvBuffer* d) {
  d->pNextMsg = nullptr;
  if (head_ == nullptr) {
    head_ = tail_ = d;
    count_ = 1;
  } else {
    tail_->pNextMsg = d;
    tail_ = d;
    ++count_;
  }
  return count_ == kOverflowMark;
}

RecvBuffer* MsgQueue::PopMsgQHead() {
  if (head_ == nullptr) return nullptr;
  RecvBuffer* d = head_;
  head_ = d->pNextMsg;
  --count_;
  return d;
}

}  // namespace scanlink::transport
