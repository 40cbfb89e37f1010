// The settings of one run of `zmfile serve`.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_SERVE_OPTIONS_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_SERVE_OPTIONS_H_

#include <cstdint>
#include <string>

namespace zimrax::zmfile {

// The largest body the server takes: it holds a whole body in memory or in a
// mapped spool file, and answers 413 past this. (The component itself takes
// bodies of any size.)
inline constexpr std::uint64_t kLargestBody = 2147483647;
inline constexpr std::uint64_t kDefaultMaxBody = std::uint64_t{1} << 30;

struct ServeOptions {
  std::string dir = "./uploads";        // where uploads are stored; absolute once the server runs
  std::string host = "127.0.0.1";       // address to listen on
  int port = 8080;                      // 0 picks a free port
  std::string conflict = "makeunique";  // policy when the form sends none
  std::uint64_t max_body = kDefaultMaxBody;
  bool fsync = true;  // each upload is on the device before it is answered
};

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_SERVE_OPTIONS_H_
