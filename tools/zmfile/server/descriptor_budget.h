// What the server may hold of its descriptor limit, so that it never runs
// out: every connection is promised its socket and one upload of one file
// (the folder and that file's temporary), a fixed spare covers the rest of
// the process, and the files past each upload's first share what is left.
// A file that finds the shared part used up fails on its own with the
// component's 67 (too many files open) before any descriptor runs out.
//
// One descriptor is kept open in reserve: when accept() still fails for
// want of one, the reserve is closed, the connection taken and answered
// 503, and the reserve opened again, so that accepting never starves.
//
// Thread-safe.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_DESCRIPTOR_BUDGET_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_DESCRIPTOR_BUDGET_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

namespace zimrax::zmfile {

class DescriptorBudget {
 public:
  // The process beside its connections: the listening socket, the event
  // loop's own descriptors, the log, the listing workers' folder scans,
  // the start-up sweep, the reserve.
  static constexpr std::int64_t kSpare = 64;
  // Promised to each connection: its socket, the folder and the first
  // file's temporary of an upload (a download holds its file instead).
  static constexpr std::int64_t kPerConnection = 3;

  // REQUIRES: max_connections > 0. `limit` is the process's descriptor
  // limit (RLIMIT_NOFILE's soft value; a huge value for none).
  DescriptorBudget(std::int64_t limit, int max_connections);
  ~DescriptorBudget();
  DescriptorBudget(const DescriptorBudget&) = delete;
  DescriptorBudget& operator=(const DescriptorBudget&) = delete;

  // The limit RLIMIT_NOFILE gives now (raised to its hard value first).
  static std::int64_t RaisedProcessLimit();

  // The limit the unit file (and any supervisor) should give for
  // `max_connections`, leaving room for extra files: the promise above
  // plus 12 more files per connection, rounded up to a power of two.
  static std::int64_t SuggestedLimit(int max_connections);

  // "" when `limit` holds every promise; otherwise the warning to print at
  // start.
  static std::string WarningFor(std::int64_t limit, int max_connections);

  // Takes one descriptor from the shared part for a file beyond an
  // upload's first; false when none is left.
  bool TryTakeExtraFile();
  // Gives back `count` descriptors taken with TryTakeExtraFile.
  void GiveBackExtraFiles(std::int64_t count);
  // Descriptors of the shared part not taken.
  std::int64_t extra_files_left() const { return shared_ - taken_.load(); }

  // Closes the reserve, so that one accept() can succeed. REQUIRES: a
  // matching RestoreReserve once that connection is answered and closed.
  void ReleaseReserve();
  // Opens the reserve again (a later call retries when that fails).
  void RestoreReserve();
  bool holds_reserve() const { return reserve_fd_ >= 0; }

 private:
  const std::int64_t shared_;
  std::atomic<std::int64_t> taken_{0};
  int reserve_fd_ = -1;
};

// The gate of one upload's files (UploadLimits::may_open_file): its first
// file is promised, every later one takes a descriptor from `budget`,
// given back when the gate and every copy of it are gone (the upload's
// stream has then closed its files). REQUIRES: `budget` outlives the gate.
std::function<bool()> FileGateForOneUpload(DescriptorBudget& budget);

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_DESCRIPTOR_BUDGET_H_
