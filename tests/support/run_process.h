// The tests' one way to run a program: as a child process (no shell) with
// the given standard input, collecting its standard output, standard error
// and exit status; and the one way to find and run zmfile.
#ifndef ZIMRAX_TESTS_SUPPORT_RUN_PROCESS_H_
#define ZIMRAX_TESTS_SUPPORT_RUN_PROCESS_H_

#include <string>
#include <vector>

namespace zimrax::testing {

struct ProcessResult {
  int exit_status = -1;  // -1 when the child did not exit normally
  std::string out;
  std::string err;
};

// Runs argv[0] (a path, or a name looked up on PATH) with `argv`, feeding
// `input` to its standard input. A child still running after
// `timeout_seconds` is killed.
ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& input = "", int timeout_seconds = 30);

// The zmfile of this build.
std::string ZmfilePath();

// Runs zmfile with `arguments`.
ProcessResult RunZmfile(std::vector<std::string> arguments, const std::string& input = "");

}  // namespace zimrax::testing

#endif  // ZIMRAX_TESTS_SUPPORT_RUN_PROCESS_H_
