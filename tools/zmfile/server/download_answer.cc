#include "server/download_answer.h"

#include <sys/stat.h>

#include <boost/beast/http/write.hpp>
#include <sstream>

#include "server/byte_ranges.h"
#include "server/download_conditions.h"
#include "server/file_name_rules.h"
#include "server/http_date.h"

namespace zimrax::zmfile {
namespace {

namespace http = boost::beast::http;

// The values of every field called `name`, joined as one list.
std::string Joined(const http::fields& request, http::field name) {
  std::string joined;
  for (auto [it, end] = request.equal_range(name); it != end; ++it) {
    if (!joined.empty()) joined += ", ";
    joined.append(it->value().data(), it->value().size());
  }
  return joined;
}

DownloadAnswer Status(http::status status) {
  DownloadAnswer answer;
  answer.head.result(status);
  answer.head.version(11);
  return answer;
}

}  // namespace

DownloadAnswer AnswerDownload(const std::string& dir, const std::string& name, const http::fields& request,
                              bool head_only) {
  // Hidden names are the component's temporary files (and their like): never served.
  if (!IsPlainFileName(name) || name.front() == '.') return Status(http::status::not_found);
  OpenedFile opened = OpenStoredFile(dir, name);
  if (!opened.ok()) return Status(http::status::not_found);
  struct stat info {};
  if (::fstat(opened.fd(), &info) != 0) return Status(http::status::internal_server_error);
  const FileIdentity identity{static_cast<std::uint64_t>(info.st_ino), static_cast<std::uint64_t>(info.st_size),
                              static_cast<std::int64_t>(info.st_mtim.tv_sec),
                              static_cast<std::int64_t>(info.st_mtim.tv_nsec)};
  DownloadConditions conditions;
  conditions.get = !head_only;
  conditions.if_match = Joined(request, http::field::if_match);
  conditions.if_none_match = Joined(request, http::field::if_none_match);
  conditions.if_modified_since = Joined(request, http::field::if_modified_since);
  conditions.if_unmodified_since = Joined(request, http::field::if_unmodified_since);
  conditions.if_range = Joined(request, http::field::if_range);
  conditions.range = Joined(request, http::field::range);
  const DownloadPlan plan = PlanDownload(conditions, identity);

  DownloadAnswer answer = Status(static_cast<http::status>(plan.status));
  http::response<http::empty_body>& head = answer.head;
  head.set(http::field::etag, EntityTagOf(identity));
  head.set(http::field::last_modified, FormatHttpDate(identity.modified_seconds));
  // Stored by the browser, but asked again each time: the validators make
  // that answer a 304 while the file is unchanged.
  head.set(http::field::cache_control, "no-cache");
  if (plan.status == 304 || plan.status == 412) return answer;
  head.set(http::field::accept_ranges, "bytes");
  if (plan.status == 416) {
    head.set(http::field::content_range, "bytes */" + std::to_string(identity.size));
    return answer;
  }
  head.set(http::field::content_type, "application/octet-stream");
  head.set(http::field::content_disposition, AttachmentDisposition(name));
  head.set("Content-Security-Policy", kDownloadSecurityPolicy);
  std::uint64_t first = 0;
  std::uint64_t length = identity.size;
  if (plan.status == 206) {
    head.set(http::field::content_range, ContentRangeOf(plan.range, identity.size));
    first = plan.range.first;
    length = plan.range.length;
  }
  head.content_length(length);
  if (!head_only) {
    answer.file = std::move(opened);
    answer.first = first;
    answer.length = length;
  }
  return answer;
}

std::string SerializedHead(const http::response<http::empty_body>& response) {
  std::ostringstream text;
  text << response.base();
  return text.str();
}

}  // namespace zimrax::zmfile
