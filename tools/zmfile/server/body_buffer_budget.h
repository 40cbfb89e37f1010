// Larger read buffers for fast uploads. An upload's body is read into 256
// KiB; a read that fills it shows the client sending faster than the server
// writes, and reading 1 MiB at a time then takes a quarter of the reads, and
// of the window updates each sends the client (on loopback, 18% of the
// server's CPU per GiB). At most `limit` uploads hold a large buffer at
// once, so the memory they add stays bounded however many clients upload;
// an upload that finds none free goes on with its 256 KiB.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_BODY_BUFFER_BUDGET_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_BODY_BUFFER_BUDGET_H_

#include <atomic>
#include <cstddef>

namespace zimrax::zmfile {

// An upload's body buffer as it begins, and the most fed (and so written)
// at a time; a chunked body is read this much at a time.
inline constexpr std::size_t kBodyChunk = 256 * 1024;
inline constexpr std::size_t kLargeBodyChunk = 4 * kBodyChunk;
// 32 MiB in all beyond the uploads' own buffers.
inline constexpr int kLargeBodyBuffers = 32;

class BodyBufferBudget {
 public:
  explicit BodyBufferBudget(int limit = kLargeBodyBuffers) : limit_(limit) {}

  // True when a large buffer is lent (then GiveBack() once it goes); false
  // when `limit` are out.
  bool TryTake() {
    int taken = taken_.load(std::memory_order_relaxed);
    do {
      if (taken >= limit_) return false;
    } while (!taken_.compare_exchange_weak(taken, taken + 1, std::memory_order_relaxed));
    return true;
  }
  void GiveBack() { taken_.fetch_sub(1, std::memory_order_relaxed); }
  int taken() const { return taken_.load(std::memory_order_relaxed); }

 private:
  const int limit_;
  std::atomic<int> taken_{0};
};

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_BODY_BUFFER_BUDGET_H_
