#include "server/hook_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <mutex>

namespace zimrax::zmfile {
namespace {

using Clock = std::chrono::steady_clock;

// A pipe whose ends close themselves; both ends close-on-exec, so that
// only the dup2 of posix_spawn gives them to the child.
struct Pipe {
  int read = -1;
  int write = -1;
  bool Open() {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return false;
    read = ends[0];
    write = ends[1];
    return true;
  }
  static void Close(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
  ~Pipe() {
    Close(read);
    Close(write);
  }
};

std::vector<char*> Pointers(const std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (const std::string& s : strings) pointers.push_back(const_cast<char*>(s.c_str()));
  pointers.push_back(nullptr);
  return pointers;
}

// Reads what is there into `kept`, up to kMaxHookOutput; the rest is
// dropped. False at end of file or on an error.
bool Drain(int fd, std::string& kept) {
  char buffer[16 * 1024];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      const std::size_t room = kMaxHookOutput - std::min(kept.size(), kMaxHookOutput);
      kept.append(buffer, std::min(static_cast<std::size_t>(n), room));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    return n < 0 && errno == EAGAIN;
  }
}

int OpenPidFd(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }

}  // namespace

ProcessRun RunHookProcess(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                          const std::string& input, Clock::time_point deadline, int data_fd) {
  // Writing to a hook that closed its input must fail with EPIPE, not end the server.
  static std::once_flag ignore_sigpipe;
  std::call_once(ignore_sigpipe, [] { ::signal(SIGPIPE, SIG_IGN); });

  ProcessRun run;
  Pipe in, out, err;
  if (!in.Open() || !out.Open() || !err.Open()) {
    run.error = std::string("no pipe for the hook: ") + std::strerror(errno);
    return run;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in.read, 0);
  posix_spawn_file_actions_adddup2(&actions, out.write, 1);
  posix_spawn_file_actions_adddup2(&actions, err.write, 2);
  if (data_fd >= 0) {
    ::lseek(data_fd, 0, SEEK_SET);
    posix_spawn_file_actions_adddup2(&actions, data_fd, 3);
  }
  // Whatever this process holds without close-on-exec stays out of the hook.
  posix_spawn_file_actions_addclosefrom_np(&actions, data_fd >= 0 ? 4 : 3);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none, reset;
  sigemptyset(&none);
  sigemptyset(&reset);
  sigaddset(&reset, SIGPIPE);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &reset);
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  std::vector<char*> args = Pointers(argv);
  std::vector<char*> env = Pointers(environment);
  pid_t pid = -1;
  // posix_spawnp looks the name up in this process's PATH: a name without
  // "/" is looked up in the hook's own PATH instead.
  std::string program = argv.front();
  if (program.find('/') == std::string::npos) {
    for (const std::string& entry : environment) {
      if (!entry.starts_with("PATH=")) continue;
      std::string_view dirs = std::string_view(entry).substr(5);
      while (!dirs.empty()) {
        const std::string dir(dirs.substr(0, dirs.find(':')));
        dirs.remove_prefix(std::min(dirs.size(), dir.size() + 1));
        const std::string candidate = dir + "/" + argv.front();
        if (::access(candidate.c_str(), X_OK) == 0) {
          program = candidate;
          break;
        }
      }
    }
  }
  const int spawned = ::posix_spawn(&pid, program.c_str(), &actions, &attributes, args.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (spawned != 0) {
    run.error = "cannot start " + argv.front() + ": " + std::strerror(spawned);
    return run;
  }
  run.started = true;
  Pipe::Close(in.read);
  Pipe::Close(out.write);
  Pipe::Close(err.write);
  for (int fd : {in.write, out.read, err.read}) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  const int pid_fd = OpenPidFd(pid);

  std::size_t written = 0;
  bool out_open = true, err_open = true, exited = false;
  if (input.empty()) Pipe::Close(in.write);
  while (!exited || out_open || err_open) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      run.timed_out = true;
      break;
    }
    std::array<pollfd, 4> fds{};
    nfds_t count = 0;
    const auto watch = [&](int fd, short events) { fds[count++] = pollfd{fd, events, 0}; };
    if (in.write >= 0) watch(in.write, POLLOUT);
    if (out_open) watch(out.read, POLLIN);
    if (err_open) watch(err.read, POLLIN);
    if (!exited && pid_fd >= 0) watch(pid_fd, POLLIN);
    // Without a pidfd the exit is seen by polling waitpid every 50 ms.
    const int wait_ms = static_cast<int>(pid_fd >= 0 ? left : std::min<long long>(left, 50));
    if (::poll(fds.data(), count, wait_ms) < 0 && errno != EINTR) break;
    for (nfds_t i = 0; i < count; ++i) {
      if (fds[i].revents == 0) continue;
      if (fds[i].fd == in.write) {
        const ssize_t n = ::write(in.write, input.data() + written, input.size() - written);
        if (n > 0) written += static_cast<std::size_t>(n);
        if ((n < 0 && errno != EAGAIN && errno != EINTR) || written == input.size()) Pipe::Close(in.write);
      } else if (fds[i].fd == out.read) {
        out_open = Drain(out.read, run.out);
      } else if (fds[i].fd == err.read) {
        err_open = Drain(err.read, run.err);
      }
    }
    int status = 0;
    if (!exited && ::waitpid(pid, &status, WNOHANG) == pid) {
      exited = true;
      run.exited = WIFEXITED(status);
      run.exit_code = run.exited ? WEXITSTATUS(status) : -1;
      run.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
      // What the hook wrote before it ended is in the pipes; a child it
      // left behind that keeps them open is not waited for.
      if (out_open) Drain(out.read, run.out);
      if (err_open) Drain(err.read, run.err);
      break;
    }
  }
  if (!exited) {
    // At the deadline (or a failed poll): the hook and every process it started.
    ::kill(-pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    run.timed_out = true;
    run.signal = SIGKILL;
  }
  if (pid_fd >= 0) ::close(pid_fd);
  return run;
}

}  // namespace zimrax::zmfile
