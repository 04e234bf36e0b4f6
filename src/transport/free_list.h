// A fixed table whose free entries form a singly linked list of indices: taken at the head,
// returned at the tail. The tail is never handed out, so a returned index waits behind every
// other free one, and a list down to its tail counts as empty. Indices below First (0 ends the
// list) are never handed out. Entry holds the link as `nNextFree`, which is 0 exactly while the
// entry is out of the list: taken, or the tail. Callers hold the library lock.
#pragma once

#include <cstdint>

namespace scanlink::transport {

template <typename Entry, int Size, int First>
class FreeList {
  static_assert(First > 0 && First < Size - 1, "at least one index besides the tail");

 public:
  // Indices taken at once before Take refuses.
  static constexpr int kCapacity = Size - First - 1;

  // Every entry cleared; First..Size-1 free in order.
  void Init() {
    for (Entry& e : entries_) e = Entry{};
    for (int i = First; i < Size - 1; ++i) entries_[i].nNextFree = i + 1;
    head_ = First;
    tail_ = Size - 1;
    inUse_ = 0;
  }

  // The next free index, its entry cleared; 0 when only the tail is left.
  int Take() {
    if (head_ == tail_) return 0;
    const int id = head_;
    head_ = entries_[id].nNextFree;
    entries_[id] = Entry{};
    ++inUse_;
    return id;
  }

  // Returns id to the tail and clears its entry. An index out of range or already in the list
  // is ignored; returning the tail again leaves the list as it was.
  void Release(int id) {
    if (id < First || id >= Size || entries_[id].nNextFree != 0) return;
    if (id != tail_) --inUse_;
    entries_[tail_].nNextFree = id;
    tail_ = id;
    entries_[id] = Entry{};
  }

  // The entry of id while it is out of the list (taken, or the tail); null otherwise.
  Entry* Unlinked(int id) {
    if (id < First || id >= Size || entries_[id].nNextFree != 0) return nullptr;
    return &entries_[id];
  }
  // True while id is handed out.
  bool IsTaken(int id) const {
    return id >= First && id < Size && entries_[id].nNextFree == 0 && id != tail_;
  }

  Entry& operator[](int id) { return entries_[id]; }
  const Entry& operator[](int id) const { return entries_[id]; }
  int InUse() const { return inUse_; }

 private:
  Entry entries_[Size];
  int32_t head_ = 0;
  int32_t tail_ = 0;
  int inUse_ = 0;
};

}  // namespace scanlink::transport
