#include "support/run_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

extern char** environ;

namespace zimrax::testing {
namespace {

void CloseIfOpen(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& input, int timeout_seconds) {
  ProcessResult result;
  int in_pipe[2], out_pipe[2], err_pipe[2];
  if (::pipe2(in_pipe, O_CLOEXEC) != 0 || ::pipe2(out_pipe, O_CLOEXEC) != 0 || ::pipe2(err_pipe, O_CLOEXEC) != 0) {
    return result;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in_pipe[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out_pipe[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err_pipe[1], STDERR_FILENO);
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  const int spawned = ::posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(in_pipe[0]);
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  int to_child = in_pipe[1], from_out = out_pipe[0], from_err = err_pipe[0];
  if (spawned != 0) {
    CloseIfOpen(to_child);
    CloseIfOpen(from_out);
    CloseIfOpen(from_err);
    result.err = "spawn failed";
    return result;
  }
  // A child that exits without reading its input must not kill us.
  ::signal(SIGPIPE, SIG_IGN);
  if (input.empty()) CloseIfOpen(to_child);
  std::size_t written = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
  while (from_out >= 0 || from_err >= 0) {
    pollfd fds[3];
    int count = 0;
    if (to_child >= 0) fds[count++] = {to_child, POLLOUT, 0};
    if (from_out >= 0) fds[count++] = {from_out, POLLIN, 0};
    if (from_err >= 0) fds[count++] = {from_err, POLLIN, 0};
    using std::chrono::milliseconds;
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      ::kill(pid, SIGKILL);
      break;
    }
    if (::poll(fds, static_cast<nfds_t>(count), static_cast<int>(left.count())) < 0 && errno != EINTR) break;
    for (int i = 0; i < count; ++i) {
      if (fds[i].revents == 0) continue;
      if (fds[i].fd == to_child) {
        const ssize_t n = ::write(to_child, input.data() + written, input.size() - written);
        if (n > 0) written += static_cast<std::size_t>(n);
        if (n < 0 || written == input.size()) CloseIfOpen(to_child);
        continue;
      }
      char buffer[4096];
      const ssize_t n = ::read(fds[i].fd, buffer, sizeof(buffer));
      if (n > 0) {
        (fds[i].fd == from_out ? result.out : result.err).append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        CloseIfOpen(fds[i].fd == from_out ? from_out : from_err);
      }
    }
  }
  CloseIfOpen(to_child);
  CloseIfOpen(from_out);
  CloseIfOpen(from_err);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) result.exit_status = WEXITSTATUS(status);
  return result;
}

std::string ZmfilePath() { return ZIMRAX_ZMFILE_PATH; }

ProcessResult RunZmfile(std::vector<std::string> arguments, const std::string& input) {
  arguments.insert(arguments.begin(), ZmfilePath());
  return RunProcess(arguments, input);
}

}  // namespace zimrax::testing
