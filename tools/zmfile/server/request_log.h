// One line per request on the log stream: time, method, path, status,
// bytes received and sent, milliseconds, and the stored name of an upload.
//
// A request is served on one thread from its headers to its log line, so
// what the handlers learn about it is kept in a per-thread trace.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_REQUEST_LOG_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_REQUEST_LOG_H_

#include <cstdint>
#include <iosfwd>
#include <mutex>
#include <string>

namespace zimrax::zmfile {

struct LogFields {
  std::string method;
  std::string path;
  int status = 0;
  std::uint64_t bytes_in = 0;
  std::uint64_t bytes_out = 0;
  double milliseconds = 0;
  std::string stored_name;  // "" when nothing was stored
};

// Starts the trace of the request served on this thread.
void BeginRequestTrace();
// Notes the body bytes received and the name stored for this thread's request.
void NoteBodyBytes(std::uint64_t bytes);
void NoteStoredName(const std::string& name);

// Fills bytes_in, milliseconds and stored_name from this thread's trace and
// ends it. Without a trace (a request refused before routing) they stay 0.
void TakeRequestTrace(LogFields& fields);

// "2024-05-01T12:34:56Z POST /upload 200 in=1234 out=88 3.1ms stored=\"a.txt\"".
// Control bytes, quotes and backslashes in the path and name are escaped,
// so that one request is always one line.
std::string FormatLogLine(const LogFields& fields, std::int64_t now_ms);

// Writes lines to a stream, one whole line at a time across threads.
class RequestLog {
 public:
  explicit RequestLog(std::ostream& out) : out_(out) {}
  void Write(const LogFields& fields);

 private:
  std::mutex mutex_;
  std::ostream& out_;
};

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_REQUEST_LOG_H_
