#include "server/download_answer.h"
#include "server/file_name_rules.h"
#include "server/handlers.h"

namespace zimrax::zmfile {

Reply DownloadReply(const std::string& dir, const std::string& name, const boost::beast::http::fields& request,
                    bool head_only) {
  if (!IsPlainFileName(name)) return FailReply(400, "Not a plain file name.");
  DownloadAnswer answer = AnswerDownload(dir, name, request, head_only);
  switch (answer.head.result_int()) {
    case 404:
      return FailReply(404, "No such file.");
    case 500:
      return FailReply(500, "The file cannot be read.");
    default:
      return Reply{std::move(answer)};
  }
}

}  // namespace zimrax::zmfile
