#include "server/server_metrics.h"

#include <cstdio>

namespace zimrax::zmfile {
namespace {

constexpr auto kRelaxed = std::memory_order_relaxed;

int StatusPlace(int status) { return status >= 100 && status < ServerMetrics::kStatuses ? status : 0; }

void Header(std::string& out, const char* name, const char* type, const char* help) {
  out.append("# HELP ").append(name).append(" ").append(help).append("\n");
  out.append("# TYPE ").append(name).append(" ").append(type).append("\n");
}

void Sample(std::string& out, const char* name, const std::string& labels, const std::string& value) {
  out.append(name);
  if (!labels.empty()) out.append("{").append(labels).append("}");
  out.append(" ").append(value).append("\n");
}

// Only the statuses seen: a counter appears with its first count.
void ByStatus(std::string& out, const char* name, const char* help,
              const std::array<std::atomic<std::uint64_t>, ServerMetrics::kStatuses>& counts) {
  Header(out, name, "counter", help);
  for (int status = 0; status < ServerMetrics::kStatuses; ++status) {
    const std::uint64_t count = counts[status].load(kRelaxed);
    if (count != 0) Sample(out, name, "status=\"" + std::to_string(status) + "\"", std::to_string(count));
  }
}

void Single(std::string& out, const char* name, const char* type, const char* help, const std::string& value) {
  Header(out, name, type, help);
  Sample(out, name, "", value);
}

}  // namespace

void ServerMetrics::CountAnswer(int status, bool upload) {
  requests_by_status[StatusPlace(status)].fetch_add(1, kRelaxed);
  if (upload) uploads_by_status[StatusPlace(status)].fetch_add(1, kRelaxed);
}

void ServerMetrics::CountRefusal(RefusalCause reason) {
  if (reason != RefusalCause::kNone) refusals[static_cast<int>(reason)].fetch_add(1, kRelaxed);
}

void ServerMetrics::CountFsync(std::chrono::steady_clock::duration time) {
  fsync_nanoseconds.fetch_add(static_cast<std::uint64_t>(std::chrono::nanoseconds(time).count()), kRelaxed);
  fsync_count.fetch_add(1, kRelaxed);
}

std::string PrometheusText(const ServerMetrics& metrics) {
  std::string out;
  ByStatus(out, "zmfile_requests_total", "Requests answered, by HTTP status.", metrics.requests_by_status);
  ByStatus(out, "zmfile_uploads_total", "Uploads (POST /upload) answered, by HTTP status.", metrics.uploads_by_status);
  Single(out, "zmfile_stored_bytes_total", "counter", "Bytes of the files stored.",
         std::to_string(metrics.stored_bytes.load(kRelaxed)));
  Single(out, "zmfile_stored_files_total", "counter", "Files stored.",
         std::to_string(metrics.stored_files.load(kRelaxed)));
  Single(out, "zmfile_uploads_in_flight", "gauge", "Uploads being received or stored now.",
         std::to_string(metrics.uploads_in_flight.load(kRelaxed)));
  Header(out, "zmfile_refusals_total", "counter",
         "Requests and connections refused, by reason: rules (size and type limits), budgets (what one "
         "client or the server may hold), origin (foreign Host or Origin), auth (credentials), request "
         "(malformed or unsupported).");
  for (int reason = 1; reason < kRefusalCauses; ++reason) {
    Sample(out, "zmfile_refusals_total",
           std::string("reason=\"") + RefusalCauseName(static_cast<RefusalCause>(reason)) + "\"",
           std::to_string(metrics.refusals[reason].load(kRelaxed)));
  }
  const HookCounters& hooks = metrics.hooks;
  out += "# HELP zmfile_hook_runs_total Hook runs (each post-hook attempt counts).\n"
         "# TYPE zmfile_hook_runs_total counter\n";
  out += "zmfile_hook_runs_total{hook=\"pre\"} " + std::to_string(hooks.pre_runs.load(kRelaxed)) + "\n";
  out += "zmfile_hook_runs_total{hook=\"post\"} " + std::to_string(hooks.post_runs.load(kRelaxed)) + "\n";
  out += "# HELP zmfile_hook_failures_total Pre-hook runs that failed (timeout, crash, unreachable) and post-hook "
         "notices given up.\n"
         "# TYPE zmfile_hook_failures_total counter\n";
  out += "zmfile_hook_failures_total{hook=\"pre\"} " + std::to_string(hooks.pre_failures.load(kRelaxed)) + "\n";
  out += "zmfile_hook_failures_total{hook=\"post\"} " + std::to_string(hooks.post_failures.load(kRelaxed)) + "\n";
  Single(out, "zmfile_hook_refusals_total", "counter", "Files a pre-hook refused.",
         std::to_string(hooks.pre_refusals.load(kRelaxed)));
  Single(out, "zmfile_hook_queue_drops_total", "counter", "Post-hook notices dropped for a full queue.",
         std::to_string(hooks.post_drops.load(kRelaxed)));
  Header(out, "zmfile_fsync_seconds", "summary",
         "Time of durable stores: each upload's publishing with its files' and folder's syncs (--fsync), and "
         "each delete's folder sync.");
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.9f", static_cast<double>(metrics.fsync_nanoseconds.load(kRelaxed)) / 1e9);
  Sample(out, "zmfile_fsync_seconds_sum", "", seconds);
  Sample(out, "zmfile_fsync_seconds_count", "", std::to_string(metrics.fsync_count.load(kRelaxed)));
  return out;
}

}  // namespace zimrax::zmfile
