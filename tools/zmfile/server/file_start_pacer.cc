#include "server/file_start_pacer.h"

#include <algorithm>

namespace zimrax::zmfile {

FileStartPacer::Clock::time_point FileStartPacer::Take(Clock::time_point now) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (updated_ != Clock::time_point{}) {
    const double elapsed = std::chrono::duration<double>(now - updated_).count();
    tokens_ = std::min(burst_, tokens_ + std::max(0.0, elapsed) * per_second_);
  }
  updated_ = now;
  tokens_ -= 1;
  if (tokens_ >= 0) return now;
  return now + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(-tokens_ / per_second_));
}

}  // namespace zimrax::zmfile
