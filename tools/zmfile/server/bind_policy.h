// Whether `zmfile serve` may listen where it was asked to: anything but a
// loopback address takes --htpasswd, or an explicit --no-auth.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_BIND_POLICY_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_BIND_POLICY_H_

#include <string>
#include <string_view>

#include "server/serve_options.h"

namespace zimrax::zmfile {

// True when every address `host` stands for is a loopback one (127.0.0.0/8,
// ::1 with or without brackets, ::ffff:127.x.x.x; "localhost"; a name that
// resolves only to those). False for the wildcard addresses, any other
// address, and a name that does not resolve.
bool IsLoopbackHost(std::string_view host);

struct BindDecision {
  std::string refusal;  // "" when the server may start; else why not (for standard error)
  std::string warning;  // a line to print when it starts unprotected, else ""
  std::string about;    // the option ("--host") a refusal is about, for saying where it was set
};

// Decides from options.host, htpasswd, no_auth and allow_delete (which
// off loopback takes htpasswd, --no-auth or not), and checks that
// --tls-cert and --tls-key come together. Never binds anything.
BindDecision DecideBind(const ServeOptions& options);

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_BIND_POLICY_H_
