#include "transport/pools.h"

namespace scanlink::transport {

void ObjectTable::Init() {
  slots_.Init();
  head_ = nullptr;
}

uint8_t ObjectTable::AllocObjectSlot() { return static_cast<uint8_t>(slots_.Take()); }

void ObjectTable::FreeObjectSlot(uint8_t id) { slots_.Release(id); }

void ObjectTable::AppendObject(ObjectNode* node) {
  ObjectNode* last = head_;
  while (last != nullptr && last->pNext != nullptr) last = last->pNext;
  node->pNext = nullptr;
  node->pPrev = last;
  (last != nullptr ? last->pNext : head_) = node;
}

void ObjectTable::RemoveObject(ObjectNode* node) {
  ObjectNode* p = head_;
  while (p != nullptr && p != node) p = p->pNext;
  if (p == nullptr) return;
  ObjectNode* before = node == head_ ? nullptr : node->pPrev;
  (before != nullptr ? before->pNext : head_) = node->pNext;
  if (node->pNext != nullptr) node->pNext->pPrev = before;
}

ObjectNode* ObjectTable::Find(const CMyPcCommInterface* module) const {
  for (ObjectNode* p = head_; p != nullptr; p = p->pNext) {
    if (p->pInterface == module) return p;
  }
  return nullptr;
}

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

template <typename Pred>
int TransInfoTable::ReclaimIf(Pred&& reclaim) {
  int freed = 0;
  for (uint16_t id = 1; id < kSize; ++id) {
    if (entries_.IsTaken(id) && reclaim(entries_[id])) {
      FreeTransID(id);
      ++freed;
    }
  }
  return freed;
}

int TransInfoTable::ReclaimSentBefore(uint64_t sentBeforeMs) {
  return ReclaimIf([&](const TransInfo& e) { return e.nSentMs < sentBeforeMs; });
}

int TransInfoTable::ReclaimUpTo(uint32_t generation) {
  return ReclaimIf([&](const TransInfo& e) { return e.nGeneration <= generation; });
}

}  // namespace scanlink::transport
