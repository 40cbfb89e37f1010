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

// {"ErrorCode": n, "Result": "...", "Comment": "..."}; after a fault
// ErrorCode and Result are null and "Fault" holds {"Number", "Description"};
// after a refusal they are null and "Refused" holds the reason. Bytes that
// are not UTF-8 become U+FFFD.
std::string UploadJson(const UploadReport& report);

// {"files": [{"name", "size", "modified"}...], "truncated": bool}
std::string ListingJson(const Listing& listing);

// {"maxBody": n, "conflict": "...", "clientConflict": [...]}: what the page
// needs to know (the default policy and the policies a form may choose).
std::string ConfigJson(std::uint64_t max_body, const std::string& conflict,
                       const std::vector<std::string>& client_conflict);

// A small page with the outcome of one upload and the stored files.
std::string UploadHtml(const UploadReport& report, const Listing& listing);

// `text` with &, <, >, " and ' escaped for HTML.
std::string HtmlEscape(const std::string& text);

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_ANSWERS_H_
