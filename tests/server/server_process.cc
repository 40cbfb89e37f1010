#include "server_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string_view>
#include <sstream>
#include <thread>

extern char** environ;

namespace zimrax::testing {
namespace {

std::vector<char*> Argv(std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  return argv;
}

// Waits for `pid` at most `seconds`. Returns the raw wait status, or -1.
int WaitFor(pid_t pid, double seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) return status;
    if (done < 0) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return -1;
}

std::string Lowered(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

}  // namespace

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "zmfile-serve-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

ServerProcess::ServerProcess(const std::filesystem::path& dir, const std::vector<std::string>& extra_args,
                             const std::filesystem::path& log_path)
    : log_path_(log_path) {
  // ZMFILE_UNDER_TEST runs another build's zmfile (an older one, to see a
  // test fail there).
  const char* under_test = std::getenv("ZMFILE_UNDER_TEST");
  const std::string binary = under_test != nullptr && *under_test != '\0' ? under_test : ZMFILE_BINARY;
  std::vector<std::string> args = {binary, "serve", "--host", "127.0.0.1", "--port", "0", "--dir", dir.string()};
  args.insert(args.end(), extra_args.begin(), extra_args.end());
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  std::vector<char*> argv = Argv(args);
  const int spawned = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    pid_ = -1;
    return;
  }
  // "open http://127.0.0.1:PORT/", or https with --tls-cert.
  static constexpr std::string_view kAddress = "://127.0.0.1:";
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (std::chrono::steady_clock::now() < deadline) {
    const std::string log = Log();
    if (const auto open = log.find("open http"); open != std::string::npos) {
      if (const auto at = log.find(kAddress, open); at != std::string::npos) {
        port_ = std::atoi(log.c_str() + at + kAddress.size());
        return;
      }
    }
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

ServerProcess::~ServerProcess() { Interrupt(); }

void ServerProcess::Kill() {
  if (pid_ < 0) return;
  ::kill(pid_, SIGKILL);
  WaitFor(pid_, 10);
  pid_ = -1;
  exit_status_ = -1;
}

int ServerProcess::Interrupt() { return StopWith(SIGINT, 10); }

int ServerProcess::StopWith(int signal, double wait_seconds) {
  if (pid_ < 0) return exit_status_;
  ::kill(pid_, signal);
  int status = WaitFor(pid_, wait_seconds);
  if (status == -1) {
    ::kill(pid_, SIGKILL);
    WaitFor(pid_, 10);
  }
  pid_ = -1;
  exit_status_ = status == -1 || !WIFEXITED(status) ? -1 : WEXITSTATUS(status);
  return exit_status_;
}

std::string ServerProcess::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::string ServerProcess::Log() const { return ReadFileBytes(log_path_); }

CommandResult RunCommand(const std::vector<std::string>& args_in, int timeout_seconds) {
  std::vector<std::string> args = args_in;
  CommandResult result;
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return result;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
  std::vector<char*> argv = Argv(args);
  pid_t pid = -1;
  const int spawned = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipe_fds[1]);
  if (spawned != 0) {
    ::close(pipe_fds[0]);
    return result;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
  bool timed_out = false;
  char buffer[65536];
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      timed_out = true;
      ::kill(pid, SIGKILL);
      break;
    }
    struct pollfd ready {pipe_fds[0], POLLIN, 0};
    if (::poll(&ready, 1, static_cast<int>(std::min<std::int64_t>(left.count(), 1000))) <= 0) continue;
    const ssize_t n = ::read(pipe_fds[0], buffer, sizeof buffer);
    if (n > 0) {
      result.out.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  ::close(pipe_fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  result.exit_status = !timed_out && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

std::string HttpAnswer::Header(const std::string& name) const {
  std::istringstream lines(head);
  std::string line;
  const std::string wanted = Lowered(name) + ":";
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (Lowered(line.substr(0, wanted.size())) == wanted) {
      const auto start = line.find_first_not_of(' ', wanted.size());
      return start == std::string::npos ? "" : line.substr(start);
    }
  }
  return {};
}

HttpAnswer ParseHttpAnswer(const std::string& raw_in) {
  HttpAnswer answer;
  std::string raw = raw_in;
  // An interim "100 Continue" (curl asks for it before a large body) comes first.
  while (raw.rfind("HTTP/1.1 100", 0) == 0 && raw.find("\r\n\r\n") != std::string::npos) {
    raw.erase(0, raw.find("\r\n\r\n") + 4);
  }
  const auto head_end = raw.find("\r\n\r\n");
  answer.head = raw.substr(0, head_end);
  if (head_end != std::string::npos) answer.body = raw.substr(head_end + 4);
  if (raw.rfind("HTTP/1.", 0) == 0 && raw.size() > 12) answer.status = std::atoi(raw.c_str() + 9);
  return answer;
}

std::string RawExchange(int port, const std::string& request, int timeout_seconds) {
  std::string response;
  const int fd = ConnectFrom("127.0.0.1", port, timeout_seconds);
  if (fd < 0) return response;
  std::size_t sent = 0;
  while (sent < request.size()) {
    const ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) break;  // the server may close early; read what it said
    sent += static_cast<std::size_t>(n);
  }
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    response.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return response;
}

int ConnectFrom(const std::string& source, int port, int timeout_seconds) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  struct timeval timeout {timeout_seconds, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  if (::inet_pton(AF_INET, source.c_str(), &local.sin_addr) != 1 ||
      ::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    ::close(fd);
    return -1;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool SendAll(int fd, const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

HttpAnswer ReadAnswer(int fd) {
  std::string raw;
  char buffer[65536];
  for (;;) {
    const auto head_end = raw.find("\r\n\r\n");
    if (head_end != std::string::npos && raw.rfind("HTTP/1.1 100", 0) != 0) {
      const HttpAnswer head = ParseHttpAnswer(raw.substr(0, head_end + 4));
      const std::size_t length = std::strtoull(head.Header("Content-Length").c_str(), nullptr, 10);
      if (raw.size() >= head_end + 4 + length) return ParseHttpAnswer(raw.substr(0, head_end + 4 + length));
    } else if (head_end != std::string::npos) {
      raw.erase(0, head_end + 4);  // an interim 100 Continue
      continue;
    }
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return ParseHttpAnswer(raw);
    raw.append(buffer, static_cast<std::size_t>(n));
  }
}

long ProcessStatusField(pid_t pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field + ":", 0) == 0) return std::strtol(line.c_str() + field.size() + 1, nullptr, 10);
  }
  return -1;
}

std::string MultipartBody(const std::string& boundary, const std::vector<FormPart>& parts) {
  std::string body;
  for (const FormPart& part : parts) {
    body += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + part.name + "\"";
    if (part.is_file) body += "; filename=\"" + part.filename + "\"\r\nContent-Type: application/octet-stream";
    body += "\r\n\r\n" + part.data + "\r\n";
  }
  body += "--" + boundary + "--\r\n";
  return body;
}

std::string HostLine(int port) { return "Host: 127.0.0.1:" + std::to_string(port) + "\r\n"; }

std::string UploadRequest(int port, const std::string& boundary, const std::string& body, bool json) {
  return "POST /upload HTTP/1.1\r\n" + HostLine(port) + "Content-Type: multipart/form-data; boundary=" + boundary +
         "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" +
         (json ? "Accept: application/json\r\n" : "") + "Connection: close\r\n\r\n" + body;
}

std::string ReadFileBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void WriteFileBytes(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string RandomBytes(std::size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::uniform_int_distribution<int> byte(0, 255);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(byte(generator));
  return bytes;
}

}  // namespace zimrax::testing
