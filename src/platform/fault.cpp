#include "platform/fault.h"

#include <atomic>
#include <mutex>

namespace scanlink::platform {
namespace {

constexpr int kKinds = 3;

struct Plan {
  int skip = 0;
  int count = 0;
};

std::atomic<bool> g_armed{false};
std::mutex g_mutex;
Plan g_plans[kKinds];

bool AnyArmed() {
  for (const Plan& p : g_plans) {
    if (p.count > 0) return true;
  }
  return false;
}

}  // namespace

void RefuseCreations(Resource what, int skip, int count) {
  std::lock_guard<std::mutex> guard(g_mutex);
  g_plans[static_cast<int>(what)] = Plan{skip > 0 ? skip : 0, count > 0 ? count : 0};
  g_armed.store(AnyArmed(), std::memory_order_relaxed);
}

bool CreationRefused(Resource what) {
  if (!g_armed.load(std::memory_order_relaxed)) return false;
  std::lock_guard<std::mutex> guard(g_mutex);
  Plan& plan = g_plans[static_cast<int>(what)];
  if (plan.count == 0) return false;
  if (plan.skip > 0) {
    --plan.skip;
    return false;
  }
  --plan.count;
  g_armed.store(AnyArmed(), std::memory_order_relaxed);
  return true;
}

}  // namespace scanlink::platform
