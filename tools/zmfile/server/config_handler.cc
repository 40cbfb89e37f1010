#include "server/answers.h"
#include "server/handlers.h"

namespace zimrax::zmfile {

Reply ConfigReply(const ServeConfig& config) {
  return Reply{TextResponse(200, ConfigJson(config.options.max_body, config.options.conflict, config.client_conflicts,
                                       config.options.allow_delete),
                            "application/json")};
}

}  // namespace zimrax::zmfile
