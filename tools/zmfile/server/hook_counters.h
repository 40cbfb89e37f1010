// What the hooks did, counted without a lock: the operators' metrics read
// these (each a monotonic total since start).
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_HOOK_COUNTERS_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_HOOK_COUNTERS_H_

#include <atomic>
#include <cstdint>

namespace zimrax::zmfile {

struct HookCounters {
  std::atomic<std::uint64_t> pre_runs{0};       // pre-hook runs started
  std::atomic<std::uint64_t> pre_refusals{0};   // files a pre-hook refused (its answer, a timeout or a failure)
  std::atomic<std::uint64_t> pre_failures{0};   // pre-hook runs that failed: timeout, crash, unreachable
  std::atomic<std::uint64_t> post_runs{0};      // post-hook attempts made (each retry counts)
  std::atomic<std::uint64_t> post_failures{0};  // post-hook notices given up after their last attempt
  std::atomic<std::uint64_t> post_drops{0};     // post-hook notices dropped because the queue was full
};

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_HOOK_COUNTERS_H_
