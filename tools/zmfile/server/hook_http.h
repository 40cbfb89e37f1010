// One run of an HTTP hook: the document POSTed as JSON to an http:// or
// https:// URL, within a deadline.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_HOOK_HTTP_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_HOOK_HTTP_H_

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace zimrax::zmfile {

struct HookUrl {
  bool tls = false;
  std::string host;    // a name or an address; an IPv6 address without its brackets
  std::string port;    // "80" or "443" unless given
  std::string target;  // the path and query, "/" at least
};

// The URL's parts, or nullopt with the reason in *why: another scheme, no
// host, a bad port, user information, a fragment, or bytes a request line
// cannot carry.
std::optional<HookUrl> ParseHookUrl(std::string_view text, std::string* why);

struct HttpRun {
  int status = 0;    // 0: no answer (`error` says why)
  std::string body;  // the answer's body, at most kMaxHookOutput bytes read
  bool timed_out = false;
  std::string error;
};

// POSTs `json` to `url` and reads the answer, all before `deadline`. An
// https:// URL's certificate is checked against the system's authorities
// and the host name.
HttpRun PostHookDocument(const HookUrl& url, const std::string& json, std::chrono::steady_clock::time_point deadline);

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_HOOK_HTTP_H_
