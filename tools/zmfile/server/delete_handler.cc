#include <cstring>

#include "server/file_name_rules.h"
#include "server/handlers.h"
#include "server/stored_file_delete.h"

namespace zimrax::zmfile {

Reply DeleteReply(const std::string& dir, const std::string& name, bool durable) {
  if (!IsPlainFileName(name)) return FailReply(400, "Not a plain file name.");
  const DeleteResult result = DeleteStoredFile(dir, name, durable);
  switch (result.outcome) {
    case DeleteOutcome::kDeleted:
      return Reply{StringResponse{boost::beast::http::status::no_content, 11}};
    case DeleteOutcome::kAbsent:
      return FailReply(404, "No such file.");
    case DeleteOutcome::kFailed:
      break;
  }
  Reply reply = FailReply(500, "The file could not be deleted: " + std::string(std::strerror(result.error_number)));
  reply.notes.push_back("delete failed: " + std::string(std::strerror(result.error_number)));
  return reply;
}

}  // namespace zimrax::zmfile
