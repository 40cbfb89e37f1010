// Test helper: runs a program as a child process with the given standard
// input and collects its standard output, standard error and exit status.
#ifndef ZIMRAX_TESTS_TOOLS_RUN_PROCESS_H_
#define ZIMRAX_TESTS_TOOLS_RUN_PROCESS_H_

#include <string>
#include <vector>

namespace zimrax::testing {

struct ProcessResult {
  int exit_status = -1;  // -1 when the child did not exit normally
  std::string out;
  std::string err;
};

// Runs argv[0] (a path) with `argv`, feeding `input` to its standard input.
// A child still running after `timeout_seconds` is killed.
ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& input = "",
                         int timeout_seconds = 30);

}  // namespace zimrax::testing

#endif  // ZIMRAX_TESTS_TOOLS_RUN_PROCESS_H_
