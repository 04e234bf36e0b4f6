// The engine's fixed tables: which ids are handed out, in what order, when allocation is
// refused, and which releases and lookups are ignored.
#include "transport/pools.h"

#include <gtest/gtest.h>

#include <memory>
#include <numeric>
#include <ostream>
#include <string>
#include <vector>

namespace scanlink::transport {
namespace {

// The three tables share their free-list rules; this puts them behind one face.
class Pool {
 public:
  virtual ~Pool() = default;
  virtual int Alloc() = 0;
  virtual void Release(int id) = 0;
  // Ids handed out and not returned, or -1 when the table does not count them.
  virtual int InUse() const { return -1; }

  // Allocates until refused and returns the ids in the order they came.
  std::vector<int> Drain() {
    std::vector<int> ids;
    for (int id = Alloc(); id != 0; id = Alloc()) ids.push_back(id);
    return ids;
  }
};

class ModulePool : public Pool {
 public:
  ModulePool() { t_->Init(); }
  int Alloc() override { return t_->AllocObjectSlot(); }
  void Release(int id) override { t_->FreeObjectSlot(static_cast<uint8_t>(id)); }

 private:
  std::unique_ptr<ObjectTable> t_ = std::make_unique<ObjectTable>();
};

class TransPool : public Pool {
 public:
  TransPool() { t_->Init(); }
  int Alloc() override { return t_->AllocTransID(); }
  void Release(int id) override { t_->FreeTransID(static_cast<uint16_t>(id)); }
  int InUse() const override { return t_->InUse(); }

 private:
  std::unique_ptr<TransInfoTable> t_ = std::make_unique<TransInfoTable>();
};

struct PoolCase {
  const char* name;
  std::unique_ptr<Pool> (*make)();
  int firstId;
  int capacity;  // ids in use at once before allocation is refused
  std::vector<int> outOfRange;
};

const PoolCase kPools[] = {
    {"Modules", [] { return std::unique_ptr<Pool>(new ModulePool); }, 20, 11, {0, 19, 32}},
    {"Transactions", [] { return std::unique_ptr<Pool>(new TransPool); }, 1, 1022, {0, 1024}},
};

void PrintTo(const PoolCase& c, std::ostream* os) { *os << c.name; }

class FreeListTest : public ::testing::TestWithParam<PoolCase> {
 protected:
  const PoolCase& c = GetParam();
  int Id(int n) const { return c.firstId + n; }  // the n-th id of a fresh table
  // The id a fresh table keeps back: the tail of its free list.
  int LastId() const { return c.firstId + c.capacity; }
};

TEST_P(FreeListTest, HandsOutIdsInOrderUntilOnlyTheTailIsLeft) {
  auto pool = c.make();
  std::vector<int> want(static_cast<size_t>(c.capacity));
  std::iota(want.begin(), want.end(), c.firstId);
  EXPECT_EQ(pool->Drain(), want);
  EXPECT_EQ(pool->Alloc(), 0);
  if (pool->InUse() >= 0) {
    EXPECT_EQ(pool->InUse(), c.capacity);
  }
}

TEST_P(FreeListTest, ExhaustedTableRecoversAfterOneRelease) {
  auto pool = c.make();
  pool->Drain();
  pool->Release(Id(2));
  // The id kept back so far comes first; the released one now waits at the tail.
  EXPECT_EQ(pool->Alloc(), LastId());
  EXPECT_EQ(pool->Alloc(), 0);
  pool->Release(Id(5));
  EXPECT_EQ(pool->Alloc(), Id(2));
  EXPECT_EQ(pool->Alloc(), 0);
}

TEST_P(FreeListTest, ReleasedIdComesBackOnlyAfterEveryIdFreeBeforeIt) {
  auto pool = c.make();
  for (int i = 0; i < 3; ++i) ASSERT_EQ(pool->Alloc(), Id(i));
  pool->Release(Id(1));
  pool->Release(Id(0));
  std::vector<int> want(static_cast<size_t>(LastId() - Id(3) + 1));
  std::iota(want.begin(), want.end(), Id(3));
  want.push_back(Id(1));  // Id(0) is the tail now and is kept back
  EXPECT_EQ(pool->Drain(), want);
}

TEST_P(FreeListTest, RepeatedReleaseCountsOnce) {
  // In a row, the second release finds the id at the tail and leaves the list as it is; after
  // another release it finds the id linked into the free list and is ignored.
  auto once = c.make();
  auto twiceInARow = c.make();
  auto againLater = c.make();
  for (Pool* p : {once.get(), twiceInARow.get(), againLater.get()}) {
    for (int i = 0; i < 4; ++i) p->Alloc();
  }
  once->Release(Id(1));
  once->Release(Id(2));
  twiceInARow->Release(Id(1));
  twiceInARow->Release(Id(1));
  twiceInARow->Release(Id(2));
  againLater->Release(Id(1));
  againLater->Release(Id(2));
  againLater->Release(Id(1));
  EXPECT_EQ(twiceInARow->InUse(), once->InUse());
  EXPECT_EQ(againLater->InUse(), once->InUse());
  const std::vector<int> want = once->Drain();
  EXPECT_EQ(twiceInARow->Drain(), want);
  EXPECT_EQ(againLater->Drain(), want);
}

TEST_P(FreeListTest, ReleasesOfIdsNotInUseChangeNothing) {
  std::vector<int> bad = c.outOfRange;
  bad.push_back(Id(6));     // free, never handed out
  bad.push_back(LastId());  // the tail itself
  for (int id : bad) {
    SCOPED_TRACE(id);
    auto reference = c.make();
    auto pool = c.make();
    for (Pool* p : {reference.get(), pool.get()}) {
      for (int i = 0; i < 3; ++i) p->Alloc();
    }
    pool->Release(id);
    EXPECT_EQ(pool->InUse(), reference->InUse());
    EXPECT_EQ(pool->Drain(), reference->Drain());
  }
}

INSTANTIATE_TEST_SUITE_P(Tables, FreeListTest, ::testing::ValuesIn(kPools),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(TransInfoTableTest, LookupFindsOnlyIdsInUseAndTheTail) {
  auto t = std::make_unique<TransInfoTable>();
  t->Init();
  for (int id = 1; id <= 3; ++id) ASSERT_EQ(t->AllocTransID(), id);
  t->GetTransInfo(1)->nSourceID = 21;
  t->FreeTransID(2);
  t->FreeTransID(3);  // 2 is free and linked; 3 is the tail
  for (uint16_t id : {0, 1024, 0xFFFF, 2, 500}) {
    EXPECT_EQ(t->GetTransInfo(id), nullptr) << id;
  }
  ASSERT_NE(t->GetTransInfo(1), nullptr);
  EXPECT_EQ(t->GetTransInfo(1)->nSourceID, 21);
  ASSERT_NE(t->GetTransInfo(3), nullptr);
  EXPECT_EQ(t->GetTransInfo(3)->nSourceID, 0);
}

TEST(TransInfoTableTest, ReclaimFreesOpenIdsOfLinksUpToTheGeneration) {
  auto t = std::make_unique<TransInfoTable>();
  t->Init();
  const uint32_t generations[] = {1, 2, 3, 1, 0, 3};  // ids 1..6
  for (uint32_t g : generations) t->GetTransInfo(t->AllocTransID())->nGeneration = g;

  EXPECT_EQ(t->ReclaimUpTo(2), 4);
  EXPECT_EQ(t->InUse(), 2);
  for (uint16_t id : {3, 6}) {
    ASSERT_NE(t->GetTransInfo(id), nullptr) << id;
    EXPECT_EQ(t->GetTransInfo(id)->nGeneration, 3u);
  }
  EXPECT_EQ(t->ReclaimUpTo(2), 0);
  // The reclaimed ids joined the free list behind the ids that were free already.
  std::vector<int> ids;
  for (uint16_t id = t->AllocTransID(); id != 0; id = t->AllocTransID()) ids.push_back(id);
  ASSERT_EQ(ids.size(), 1020u);
  EXPECT_EQ(ids.front(), 7);
  EXPECT_EQ(std::vector<int>(ids.end() - 4, ids.end()), (std::vector<int>{1023, 1, 2, 4}));
}

// Module ids of the registered-module list from its head, checking the back links on the way.
std::vector<int> ListedIds(ObjectTable& t) {
  std::vector<int> ids;
  ObjectNode* prev = nullptr;
  for (ObjectNode* n = t.Head(); n != nullptr; prev = n, n = n->pNext) {
    EXPECT_EQ(n->pPrev, prev) << "module " << int{n->nModuleID};
    ids.push_back(n->nModuleID);
  }
  return ids;
}

TEST(ObjectTableTest, ModuleListKeepsRegistrationOrderThroughRemovals) {
  auto t = std::make_unique<ObjectTable>();
  t->Init();
  ObjectNode* nodes[5];
  for (ObjectNode*& n : nodes) {
    const uint8_t id = t->AllocObjectSlot();
    n = t->Node(id);
    n->nModuleID = id;
  }
  for (int i = 0; i < 4; ++i) t->AppendObject(nodes[i]);  // nodes[4] stays off the list
  EXPECT_EQ(ListedIds(*t), (std::vector<int>{20, 21, 22, 23}));

  struct Step {
    ObjectNode* node;
    std::vector<int> left;
  };
  const Step steps[] = {
      {nodes[4], {20, 21, 22, 23}},  // not a member
      {nodes[1], {20, 22, 23}},      // middle
      {nodes[3], {20, 22}},          // last
      {nodes[0], {22}},              // head
      {nodes[1], {22}},              // already removed
      {nodes[2], {}},                // the only node
  };
  for (const Step& s : steps) {
    t->RemoveObject(s.node);
    EXPECT_EQ(ListedIds(*t), s.left) << "after removing " << int{s.node->nModuleID};
  }
  EXPECT_EQ(t->Head(), nullptr);
  t->AppendObject(nodes[4]);
  EXPECT_EQ(ListedIds(*t), (std::vector<int>{24}));
}

}  // namespace
}  // namespace scanlink::transport
