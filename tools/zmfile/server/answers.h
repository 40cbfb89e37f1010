// The bodies the server answers with: JSON for scripts, HTML for browsers
// that post the form without script.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_ANSWERS_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_ANSWERS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "server/file_listing.h"
#include "server/upload_report.h"

namespace zimrax::zmfile {

// {"ErrorCode": n, "Result": "...", "Comment": "...", "Message": "...",
// "Files": [{"Field", "ErrorCode", "Result", "Message"}...]}: the top-level
// fields tell the report's own part (upload1's), "Files" each file field
// present. After a fault ErrorCode and Result are null and "Fault" holds
// {"Number", "Description"}; after a refusal they are null and "Refused"
// holds the reason and "RefusedKind" its kind (RefusalKindName). "Replaced":
// true marks an overwrite; "Skipped": true a file input sent empty beside a
// chosen file. "Message" is worded for API callers (ApiMessage). Bytes that are not
// UTF-8 become U+FFFD.
std::string UploadJson(const UploadReport& report);

// {"files": [{"name", "href", "size", "modified", "utf8"}...], "next":
// cursor or null}. "name" is the raw name as UTF-8 (U+FFFD for bytes that
// are not, and "utf8" false); "href" is "files/" and every raw byte outside
// unreserved ASCII percent-encoded.
std::string ListingJson(const Listing& listing);

// The name as UTF-8 text, with U+FFFD for bytes that are not UTF-8.
std::string DisplayName(const std::string& raw);

// `raw` with every byte but ASCII letters, digits, "-", "_", "." and "~"
// written as %XX.
std::string PercentEncoded(const std::string& raw);

// {"maxBody": n, "conflict": "...", "clientConflict": [...], "delete":
// bool}: what the page needs to know (the default policy, the policies a
// form may choose, and whether stored files may be deleted).
std::string ConfigJson(std::uint64_t max_body, const std::string& conflict,
                       const std::vector<std::string>& client_conflict, bool allow_delete);

// A small page with the outcome of each file of one upload and the newest
// stored files. Its links are relative, so that it works under a sub-path.
std::string UploadHtml(const UploadReport& report, const Listing& listing);

// `text` with &, <, >, " and ' escaped for HTML.
std::string HtmlEscape(const std::string& text);

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_ANSWERS_H_
