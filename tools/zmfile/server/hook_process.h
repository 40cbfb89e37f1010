// One run of a command hook: the program started without a shell in its
// own process group, with a clean environment, the document on its
// standard input, its output read (and capped), killed with its group at
// the deadline, and always reaped.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_HOOK_PROCESS_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_HOOK_PROCESS_H_

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace zimrax::zmfile {

// The most of each of standard output and standard error kept; the rest
// is read and dropped, so that a chatty hook neither blocks nor fills memory.
inline constexpr std::size_t kMaxHookOutput = 64 * 1024;

struct ProcessRun {
  bool started = false;    // false: the program could not be started (`error` says why)
  bool timed_out = false;  // killed at the deadline
  bool exited = false;     // ended by exit (`exit_code`); otherwise by signal `signal`
  int exit_code = -1;
  int signal = 0;
  std::string out;  // standard output, at most kMaxHookOutput bytes
  std::string err;  // standard error, at most kMaxHookOutput bytes
  std::string error;
};

// Runs `argv` (argv[0] a path, or a name looked up in `environment`'s
// PATH) with exactly `environment` ("NAME=value" entries), writes `input`
// to its standard input, then closes it. The run ends when the program
// has exited, or at `deadline`, when its whole process group is killed.
// No descriptor of this process but the three pipes reaches it, and
// `data_fd` unless it is -1: as descriptor 3, its offset set to 0 first.
// REQUIRES: argv is not empty.
ProcessRun RunHookProcess(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                          const std::string& input, std::chrono::steady_clock::time_point deadline, int data_fd = -1);

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_HOOK_PROCESS_H_
