// One line per request on the log stream: time, method, path, status,
// bytes received and sent, milliseconds, the client's address, and the
// user, the stored name of an upload and the reason of a refusal.
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
  std::string client;       // the peer's address, or the proxy's client with --trust-proxy
  std::string user;         // the authenticated user, "" for none
  std::string reason;       // why the server refused the request, "" when it did not
  std::string sha256;       // the stored files' SHA-256 (with --digest), "/"-joined as stored_name; "" for none
};

// "2024-05-01T12:34:56Z POST /upload 200 in=1234 out=88 3.1ms client=127.0.0.1
// user=\"ann\" stored=\"a.txt\" sha256=HEX reason=\"...\"" (client= always, the others when not
// empty). Control bytes, quotes and backslashes in the text fields are
// escaped, so that one request is always one line.
std::string FormatLogLine(const LogFields& fields, std::int64_t now_ms);

// Writes lines to a stream, one whole line at a time across threads.
class RequestLog {
 public:
  explicit RequestLog(std::ostream& out) : out_(out) {}
  void Write(const LogFields& fields);
  // A line about the server or a connection rather than a request:
  // "zmfile serve: " and `text`.
  void Note(const std::string& text);

 private:
  std::mutex mutex_;
  std::ostream& out_;
};

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_REQUEST_LOG_H_
