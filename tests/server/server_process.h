// Test support: runs `zmfile serve` on a free loopback port in a fresh
// directory, and talks to it with curl and with a raw socket client.
#ifndef ZIMRAX_TESTS_SERVER_SERVER_PROCESS_H_
#define ZIMRAX_TESTS_SERVER_SERVER_PROCESS_H_

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace zimrax::testing {

// A directory under the system's temporary directory, removed at the end.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

class ServerProcess {
 public:
  // Starts zmfile serve --port 0 --dir `dir` plus `extra_args`, and waits (at
  // most 15 s) for the address it prints. ok() tells whether it came up.
  // The environment's ZMFILE_UNDER_TEST, when set, names the zmfile binary.
  ServerProcess(const std::filesystem::path& dir, const std::vector<std::string>& extra_args,
                const std::filesystem::path& log_path);
  // Stops the server with SIGINT (then SIGKILL if it has not ended in 10 s).
  ~ServerProcess();

  bool ok() const { return port_ > 0; }
  int port() const { return port_; }
  pid_t pid() const { return pid_; }
  std::string Url(const std::string& path) const;
  // Sends SIGINT and waits (at most 10 s). Returns the exit status, or -1
  // when the server had to be killed or had died before. Later calls return
  // the same status.
  int Interrupt();
  // Sends `signal` and waits at most `wait_seconds` for the exit. Returns
  // the exit status, or -1 when the server had to be killed.
  int StopWith(int signal, double wait_seconds);
  // Kills the server with SIGKILL at once and waits for it to end.
  void Kill();
  // Everything the server printed so far.
  std::string Log() const;

 private:
  pid_t pid_ = -1;
  int port_ = -1;
  int exit_status_ = -1;
  std::filesystem::path log_path_;
};

struct CommandResult {
  int exit_status = -1;
  std::string out;  // standard output
};

// Runs a program found on PATH with `args` (no shell), standard output
// captured, standard error passed through. A program still running after
// `timeout_seconds` is killed (exit_status -1).
CommandResult RunCommand(const std::vector<std::string>& args, int timeout_seconds = 120);

struct HttpAnswer {
  int status = 0;  // 0 when no status line arrived
  std::string head;
  std::string body;
  // The value of header `name` (case-insensitive), "" when absent.
  std::string Header(const std::string& name) const;
};

// A TCP connection to 127.0.0.1:`port` from the loopback address `source`
// (127.0.0.2 and up stand for other clients), with send and receive
// timeouts of `timeout_seconds`. Returns the descriptor, or -1.
int ConnectFrom(const std::string& source, int port, int timeout_seconds = 30);
// Sends all of `bytes`; false when the connection fails first.
bool SendAll(int fd, const std::string& bytes);
// Reads one whole answer (head and Content-Length body) from a connection
// that stays open; leaves the status 0 when none came within the timeout.
HttpAnswer ReadAnswer(int fd);
// A field of /proc/PID/status in KiB ("VmRSS", "VmHWM"), or -1; "Threads" as a count.
long ProcessStatusField(pid_t pid, const std::string& field);

// Splits a raw HTTP response into status, head and body.
HttpAnswer ParseHttpAnswer(const std::string& raw);

// Sends `request` to 127.0.0.1:`port`, then reads until the server closes
// the connection (at most `timeout_seconds`). The client never half-closes,
// so a server that answers early is seen answering without the rest.
std::string RawExchange(int port, const std::string& request, int timeout_seconds = 30);

struct FormPart {
  std::string name;
  std::string data;
  bool is_file = false;
  std::string filename;  // raw bytes between the quotes
};

// A multipart/form-data body as a browser writes it, with `boundary`.
std::string MultipartBody(const std::string& boundary, const std::vector<FormPart>& parts);

// "Host: 127.0.0.1:PORT\r\n": the Host header line of a request to the server on `port`.
std::string HostLine(int port);

// A complete POST /upload request for `body` to the server on `port`.
std::string UploadRequest(int port, const std::string& boundary, const std::string& body, bool json = true);

// The bytes of a file; "" when it cannot be read.
std::string ReadFileBytes(const std::filesystem::path& path);
void WriteFileBytes(const std::filesystem::path& path, const std::string& bytes);

// Deterministic pseudo-random bytes.
std::string RandomBytes(std::size_t size, unsigned seed);

}  // namespace zimrax::testing

#endif  // ZIMRAX_TESTS_SERVER_SERVER_PROCESS_H_
