#include "server/descriptor_budget.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <limits>
#include <memory>

namespace zimrax::zmfile {
namespace {

std::int64_t PromisedFor(int max_connections) {
  return DescriptorBudget::kSpare + DescriptorBudget::kPerConnection * static_cast<std::int64_t>(max_connections);
}

}  // namespace

DescriptorBudget::DescriptorBudget(std::int64_t limit, int max_connections)
    : shared_(std::max<std::int64_t>(0, limit - PromisedFor(max_connections))) {
  RestoreReserve();
}

DescriptorBudget::~DescriptorBudget() {
  if (reserve_fd_ >= 0) ::close(reserve_fd_);
}

std::int64_t DescriptorBudget::RaisedProcessLimit() {
  struct rlimit limit {};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1024;
  if (limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
    ::getrlimit(RLIMIT_NOFILE, &limit);
  }
  constexpr auto kHuge = static_cast<rlim_t>(std::numeric_limits<int>::max());
  return limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > kHuge ? std::numeric_limits<int>::max()
                                                                     : static_cast<std::int64_t>(limit.rlim_cur);
}

std::int64_t DescriptorBudget::SuggestedLimit(int max_connections) {
  const std::int64_t wanted = PromisedFor(max_connections) + 12 * static_cast<std::int64_t>(max_connections);
  std::int64_t power = 1024;
  while (power < wanted) power *= 2;
  return power;
}

std::string DescriptorBudget::WarningFor(std::int64_t limit, int max_connections) {
  const std::int64_t needed = PromisedFor(max_connections);
  if (limit >= needed) return "";
  return "warning: the descriptor limit " + std::to_string(limit) + " cannot hold --max-connections " +
         std::to_string(max_connections) + " uploads of one file each (" + std::to_string(needed) +
         "); raise it (LimitNOFILE=" + std::to_string(SuggestedLimit(max_connections)) +
         ") or lower --max-connections";
}

bool DescriptorBudget::TryTakeExtraFile() {
  std::int64_t taken = taken_.load();
  do {
    if (taken >= shared_) return false;
  } while (!taken_.compare_exchange_weak(taken, taken + 1));
  return true;
}

void DescriptorBudget::GiveBackExtraFiles(std::int64_t count) { taken_ -= count; }

std::function<bool()> FileGateForOneUpload(DescriptorBudget& budget) {
  struct Taken {
    explicit Taken(DescriptorBudget& b) : budget(b) {}
    ~Taken() { budget.GiveBackExtraFiles(extra); }
    DescriptorBudget& budget;
    bool first_given = false;
    std::int64_t extra = 0;
  };
  // A stream asks from one thread at a time.
  auto taken = std::make_shared<Taken>(budget);
  return [taken] {
    if (!taken->first_given) return taken->first_given = true;
    if (!taken->budget.TryTakeExtraFile()) return false;
    ++taken->extra;
    return true;
  };
}

void DescriptorBudget::ReleaseReserve() {
  if (reserve_fd_ >= 0) ::close(reserve_fd_);
  reserve_fd_ = -1;
}

void DescriptorBudget::RestoreReserve() {
  if (reserve_fd_ < 0) reserve_fd_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

}  // namespace zimrax::zmfile
