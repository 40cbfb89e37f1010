#include "automation/module_state.h"

#include <atomic>

namespace zimrax {
namespace {

std::atomic<long> live_objects{0};
std::atomic<long> server_locks{0};

}  // namespace

void AddLiveObject() { live_objects.fetch_add(1, std::memory_order_relaxed); }
void ReleaseLiveObject() { live_objects.fetch_sub(1, std::memory_order_relaxed); }
void LockModule() { server_locks.fetch_add(1, std::memory_order_relaxed); }
// An unlock without a matching lock is ignored, so that it cannot cancel a
// later lock and let the module be unloaded while a factory is locked.
void UnlockModule() {
  long locks = server_locks.load(std::memory_order_relaxed);
  while (locks > 0 && !server_locks.compare_exchange_weak(locks, locks - 1, std::memory_order_relaxed)) {
  }
}
bool ModuleIsIdle() { return live_objects.load() == 0 && server_locks.load() == 0; }

}  // namespace zimrax
