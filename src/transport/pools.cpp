#include "transport/pools.h"

namespace scanlink::transport {

// ---- ObjectTable ----

void ObjectTable::Init() {
  slots_.Init();
  head_ = nullptr;
}

uint8_t ObjectTable::AllocObjectSlot() { return static_cast<uint8_t>(slots_.Take()); }

void ObjectTable::FreeObjectSlot(uint8_t id) { slots_.Release(id); }

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

void TransInfoTable::Init() { entries_.Init(); }

uint16_t TransInfoTable::AllocTransID() {
  const uint16_t id = static_cast<uint16_t>(entries_.Take());
  if (id != 0) entries_[id].nSerial = ++serial_;
  return id;
}

TransInfo* TransInfoTable::GetTransInfo(uint16_t id) { return entries_.Unlinked(id); }

void TransInfoTable::FreeTransID(uint16_t id) { entries_.Release(id); }

void TransInfoTable::FreeTransID(uint16_t id, uint32_t serial) {
  const TransInfo* e = GetTransInfo(id);
  if (e != nullptr && e->nSerial == serial) FreeTransID(id);
}

int TransInfoTable::ReclaimSentBefore(uint64_t sentBeforeMs) {
  int freed = 0;
  for (uint16_t id = 1; id < kSize; ++id) {
    if (entries_.IsTaken(id) && entries_[id].nSentMs < sentBeforeMs) {
      FreeTransID(id);
      ++freed;
    }
  }
  return freed;
}

int TransInfoTable::ReclaimUpTo(uint32_t generation) {
  int freed = 0;
  for (uint16_t id = 1; id < kSize; ++id) {
    if (entries_.IsTaken(id) && entries_[id].nGeneration <= generation) {
      FreeTransID(id);
      ++freed;
    }
  }
  return freed;
}

}  // namespace scanlink::transport
