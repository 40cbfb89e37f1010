// Whether a download is answered with the file, a part of it, or a short
// status: the validators of a stored file (a strong ETag and
// Last-Modified) and the conditional headers of RFC 9110, section 13,
// evaluated in the order it prescribes, then Range and If-Range.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_DOWNLOAD_CONDITIONS_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_DOWNLOAD_CONDITIONS_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "server/byte_ranges.h"

namespace zimrax::zmfile {

// What the validators are made of: the open file's inode, size and last
// modification (of the descriptor held for the download, so that they
// describe exactly the bytes sent).
struct FileIdentity {
  std::uint64_t inode = 0;
  std::uint64_t size = 0;
  std::int64_t modified_seconds = 0;
  std::int64_t modified_nanoseconds = 0;  // 0 to 999999999, within the second
};

// A strong entity-tag, quotes included: "inode-size-nanoseconds" in hex.
// A file replaced under its name (a new inode), rewritten (a new time) or
// grown gets a new one.
std::string EntityTagOf(const FileIdentity& file);

// The request's conditional and range header values; "" for an absent one
// (several fields of one name joined with ", ").
struct DownloadConditions {
  bool get = true;  // false for HEAD: Range and If-Range apply to GET only
  std::string if_match;
  std::string if_none_match;
  std::string if_modified_since;
  std::string if_unmodified_since;
  std::string if_range;
  std::string range;
};

struct DownloadPlan {
  int status = 200;      // 200, 206, 304, 412 or 416
  RangeDecision range;   // for 206: the bytes sent
};

// The answer to `conditions` for `file`:
//  - If-Match (strong comparison; "*" matches) that no tag matches: 412;
//  - else, without If-Match, If-Unmodified-Since earlier than the file: 412;
//  - If-None-Match (weak comparison; "*" matches) that a tag matches: 304;
//  - else, without If-None-Match, If-Modified-Since not earlier than the
//    file's last modification (whole seconds): 304;
//  - for GET, If-Range that does not match (a strong tag equal to the
//    file's, or a date equal to its Last-Modified) makes Range ignored;
//  - then Range decides between 200, 206 and 416 (see DecideRange).
// A date that does not parse makes its header ignored.
DownloadPlan PlanDownload(const DownloadConditions& conditions, const FileIdentity& file);

// True when the entity-tag list `list` ("*", or tags separated by commas,
// weak ones with W/) holds `tag`. `weak` compares opaque tags alone (If-None-
// Match); otherwise a W/ tag never matches (If-Match). A list that does not
// parse matches nothing.
bool TagListMatches(std::string_view list, std::string_view tag, bool weak);

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_DOWNLOAD_CONDITIONS_H_
