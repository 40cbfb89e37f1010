// How fast the server's uploads together may begin files beyond each
// upload's first: a token bucket for the whole server. Creating a file
// costs an I/O thread from tens of microseconds to milliseconds on a busy
// disk; a flood of uploads of a hundred tiny files each would otherwise
// keep both I/O threads creating files while other clients wait. An upload
// over the pace is not refused: it waits (its body is not read) until its
// turn. Thread-safe.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_FILE_START_PACER_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_FILE_START_PACER_H_

#include <chrono>
#include <mutex>

namespace zimrax::zmfile {

class FileStartPacer {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr double kDefaultPerSecond = 200;
  static constexpr double kDefaultBurst = 100;

  // REQUIRES: per_second > 0, burst >= 1.
  explicit FileStartPacer(double per_second = kDefaultPerSecond, double burst = kDefaultBurst)
      : per_second_(per_second), burst_(burst), tokens_(burst) {}

  // Takes one file start: returns the time it may happen, `now` or later
  // (later starts are reserved in turn, so waiters keep their order).
  Clock::time_point Take(Clock::time_point now);

 private:
  const double per_second_;
  const double burst_;
  std::mutex mutex_;
  double tokens_;  // may go below 0: starts reserved ahead
  Clock::time_point updated_{};
};

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_FILE_START_PACER_H_
