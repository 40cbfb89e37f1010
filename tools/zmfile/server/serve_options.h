// The settings of one run of `zmfile serve`.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_SERVE_OPTIONS_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_SERVE_OPTIONS_H_

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace zimrax::zmfile {

// Bodies are streamed to disk as they arrive, so the body limit is a policy,
// not a memory bound: up to 1 EiB may be allowed. (The ceiling keeps out the
// all-ones value that negative or overflowing text parses to.)
inline constexpr std::uint64_t kLargestBody = std::uint64_t{1} << 60;
inline constexpr std::uint64_t kDefaultMaxBody = std::uint64_t{1} << 30;

struct ServeOptions {
  // "--NAME" -> "FILE:LINE: KEY" for each setting --config FILE made, so
  // that a refusal at start can say where the setting it names came from.
  std::map<std::string, std::string> config_origins;

  std::string dir = "./uploads";                     // where uploads are stored; absolute once the server runs
  std::string host = "127.0.0.1";                    // address to listen on
  int port = 8080;                                   // 0 picks a free port
  std::string conflict = "makeunique";               // policy when the form sends none
  std::string client_conflict = "error,makeunique";  // the policies a form may choose
  // Where clients reach the server (scheme://host[:port]/path): their
  // origins and host names are the server's own, besides the bound address.
  std::vector<std::string> public_urls;
  bool trust_proxy = false;  // the peer is a proxy: log the X-Forwarded-For client
  std::uint64_t max_body = kDefaultMaxBody;
  bool fsync = true;  // each upload is on the device before it is answered
  // The start-up sweep removes an unlocked hidden temporary file only when
  // it was last modified this many seconds ago: for a directory shared
  // between hosts whose file system keeps locks to each host.
  std::int64_t sweep_min_age = 0;

  // What one client can hold of the server. Each has a default that a
  // browser never reaches and an attacker cannot turn into memory or threads.
  std::size_t max_header = 16 * 1024;     // request line and header fields, bytes (431 past it)
  int header_seconds = 10;                // from the first byte (or accept) to the end of the headers (408)
  std::uint64_t min_body_rate = 1024;     // bytes per second, averaged over body_rate_seconds
  int body_rate_seconds = 10;             // the window of the body rate check
  int idle_seconds = 5;                   // a kept-alive connection waiting for its next request
  int send_seconds = 30;                  // one write of an answer that the client does not take
  int max_connections = 512;              // open connections; more wait in the kernel's backlog
  int max_per_address = 16;               // open connections from one client address (503 past it)
  int accept_rate = 100;                  // new connections a second from one address (twice that saved up); more are closed
  std::size_t max_first_line = 8 * 1024;  // the form's delimiter line, bytes (400 past it)
  std::size_t max_comment = 64 * 1024;    // the comment field kept for the answer, bytes
  int drain_seconds = 10;                 // on SIGINT/SIGTERM, time given to uploads in flight
  int threads = 0;                        // I/O threads; 0: one per core, at least 2

  // Access. A non-loopback host takes htpasswd, or no_auth said outright.
  std::string htpasswd;           // HTTP Basic users (bcrypt/SHA-crypt/yescrypt); "" for none
  bool no_auth = false;           // listen beyond loopback without authentication
  int max_hash_checks = 64;       // password hashes waiting or running at once (503 past it)
  std::string tls_cert, tls_key;  // PEM files: both for HTTPS, neither for HTTP
  // DELETE /files/NAME removes a stored file. Off loopback it takes htpasswd.
  bool allow_delete = false;

  // Rules for each uploaded file (upload_rules.h); 0 and "" for none.
  std::uint64_t max_file_size = 0;  // bytes of one file (413 past it)
  std::size_t max_files = 0;        // files stored from one form (413 for the rest)
  std::string allow_types;          // ".pdf,image/*": extensions and media types accepted (415 for others)
  std::string deny_types;           // extensions and media types refused (415)
  bool strict_types = false;        // refuse content whose type contradicts its extension (415)
  std::string digest = "none";      // "sha256": each stored file's digest in the answer and the log
  // Hooks: a command or an http(s):// URL each, "" for none.
  std::string hook_pre;   // asked about each file before it is published
  std::string hook_post;  // told of each file stored, off the request path
  int hook_timeout = 10;         // seconds one run of a hook may take
  int hook_pre_total = 30;       // seconds one request's pre-hooks may take together
  bool hook_pre_data = false;    // a command pre-hook reads each file's bytes on descriptor 3
  std::size_t hook_post_queue = 1024;  // post-hook notices waiting; more are dropped
  int hook_post_workers = 4;     // post-hook notices sent at once
  int hook_post_retries = 3;     // further attempts of a failed HTTP post-hook
  // Resumable uploads (/resumable/): how long an unfinished one is kept
  // after its last PATCH, how many one user (or address) may have
  // unfinished, and how many bytes all of them may hold (507 past it).
  std::int64_t resumable_expiry = 24 * 3600;  // seconds
  int resumable_max_incomplete = 16;
  std::uint64_t resumable_max_staging = std::uint64_t{16} << 30;
  // GET /metrics answers the server's counters (Prometheus text), under the same access rules.
  bool metrics = false;
};

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_SERVE_OPTIONS_H_
