// Where a refusal at start came from, when a config file set the option it
// names.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_CONFIG_ORIGIN_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_CONFIG_ORIGIN_H_

#include <string>
#include <string_view>

#include "server/serve_options.h"

namespace zimrax::zmfile {

// "FILE:LINE: KEY: " for the first option that `message` names as --NAME
// and the config file set (options.config_origins); "" when it names none.
std::string ConfigOriginOf(const ServeOptions& options, std::string_view message);

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_CONFIG_ORIGIN_H_
