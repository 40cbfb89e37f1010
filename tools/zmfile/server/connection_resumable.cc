// A request under /resumable/: answered at once, or its data read into the
// upload's exchange as an upload's body is.
#include "server/connection.h"
#include "server/resumable_exchange.h"
#include "server/resumable_handler.h"
#include "server/server_core.h"

namespace zimrax::zmfile {

void Connection::ServeResumable(After after, bool has_body) {
  auto& request = parser_->get();
  const ResumableRequest resumable{
      request, request.method(), path_, user_, client_, parser_->content_length().value_or(0), parser_->chunked()};
  ResumableStart start = StartResumable(core_.config(), resumable);
  if (start.reply) return Send(std::move(*start.reply), has_body ? After::kLinger : after);
  if (UploadHooks* hooks = core_.hooks()) {
    if (auto* exchange = dynamic_cast<ResumableExchange*>(start.exchange.get())) {
      exchange->SetHooks(hooks, HookRequest{user_, client_}, &core_.budget());
    }
  }
  keep_alive_ = request.keep_alive();  // kept when the whole body is read
  StartBody(std::move(start.exchange));
}

}  // namespace zimrax::zmfile
