#include "component/module_state.h"

#include <atomic>

namespace zimrax {
namespace {

std::atomic<long> live_objects{0};
std::atomic<long> server_locks{0};

}  // namespace

void AddLiveObject() { live_objects.fetch_add(1, std::memory_order_relaxed); }
void ReleaseLiveObject() { live_objects.fetch_sub(1, std::memory_order_relaxed); }
void LockModule() { server_locks.fetch_add(1, std::memory_order_relaxed); }
void UnlockModule() { server_locks.fetch_sub(1, std::memory_order_relaxed); }
bool ModuleIsIdle() { return live_objects.load() == 0 && server_locks.load() <= 0; }

}  // namespace zimrax
