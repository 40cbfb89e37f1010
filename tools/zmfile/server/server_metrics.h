// The counters behind GET /metrics (--metrics), kept whether or not they
// are served: each a relaxed atomic, bumped on the hot path without a lock,
// and read together only when a scrape formats them (the values of one
// scrape are each exact, not one snapshot).
//
// The server's parts count into the one ServerMetrics that ServerCore
// owns (ServerCore::metrics()):
//   - every answered request, in Connection::LogAnswer (CountAnswer), the
//     one place a request's line is logged; a refusal among them by its
//     RefusalCause, there too (CountRefusal);
//   - connections refused at accept, in ServerCore (CountRefusal kBudgets);
//   - bytes and files stored, uploads in flight, and the durable stores'
//     time, in the connection's upload path;
//   - hooks: the hook runner counts into `hooks` (runs, refusals, failures
//     and dropped notices; hook_counters.h);
//   - rules: a file refused by a rule inside an answered form counts
//     CountRefusal(RefusalCause::kRules) where it is refused; a request
//     refused as a whole by a rule sets Reply::refused_for instead.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_SERVER_METRICS_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_SERVER_METRICS_H_

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

#include "server/hook_counters.h"
#include "server/refusal.h"

namespace zimrax::zmfile {

struct ServerMetrics {
  // Statuses 100 to 599 each have their place; any other counts as 0.
  static constexpr int kStatuses = 600;

  std::array<std::atomic<std::uint64_t>, kStatuses> requests_by_status{};
  std::array<std::atomic<std::uint64_t>, kStatuses> uploads_by_status{};  // POST /upload only
  std::array<std::atomic<std::uint64_t>, kRefusalCauses> refusals{};
  std::atomic<std::uint64_t> stored_bytes{0};
  std::atomic<std::uint64_t> stored_files{0};
  std::atomic<std::int64_t> uploads_in_flight{0};
  HookCounters hooks;
  std::atomic<std::uint64_t> fsync_nanoseconds{0};
  std::atomic<std::uint64_t> fsync_count{0};

  // One answered request of `status`; `upload` for POST /upload.
  void CountAnswer(int status, bool upload);
  void CountRefusal(RefusalCause reason);
  // One durable store (an upload's Finish with its syncs, a delete's folder sync) that took `time`.
  void CountFsync(std::chrono::steady_clock::duration time);
};

// The counters in the Prometheus text format (version 0.0.4).
std::string PrometheusText(const ServerMetrics& metrics);

// The media type of PrometheusText.
inline constexpr const char* kPrometheusTextType = "text/plain; version=0.0.4; charset=utf-8";

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_SERVER_METRICS_H_
