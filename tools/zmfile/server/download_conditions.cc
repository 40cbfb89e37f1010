#include "server/download_conditions.h"

#include <cstdio>
#include <optional>

#include "server/ascii_text.h"
#include "server/http_date.h"

namespace zimrax::zmfile {
namespace {

// The tag at the start of `text` ("W/" kept), or nullopt when there is no
// well-formed one; *rest receives what follows it.
std::optional<std::string_view> NextTag(std::string_view text, std::string_view* rest) {
  std::size_t start = 0;
  if (text.starts_with("W/")) start = 2;
  if (text.size() <= start || text[start] != '"') return std::nullopt;
  const std::size_t close = text.find('"', start + 1);
  if (close == std::string_view::npos) return std::nullopt;
  for (std::size_t i = start + 1; i < close; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    // etagc: 0x21, 0x23-0x7E and obs-text.
    if (c < 0x21 || c == 0x7f) return std::nullopt;
  }
  *rest = text.substr(close + 1);
  return text.substr(0, close + 1);
}

bool IsWeak(std::string_view tag) { return tag.starts_with("W/"); }

std::string_view Opaque(std::string_view tag) { return IsWeak(tag) ? tag.substr(2) : tag; }

// True when the condition's date is known and the file was not modified after it.
bool NotModifiedSince(const std::string& date_text, const FileIdentity& file) {
  const std::optional<std::int64_t> date = ParseHttpDate(date_text);
  return date && file.modified_seconds <= *date;
}

bool IfRangeHolds(std::string_view if_range, const FileIdentity& file) {
  if_range = Trimmed(if_range);
  if (if_range.starts_with("W/") || if_range.starts_with("\"")) {
    // A weak tag never matches here: only a strong validator may.
    return !IsWeak(if_range) && if_range == EntityTagOf(file);
  }
  const std::optional<std::int64_t> date = ParseHttpDate(if_range);
  return date && *date == file.modified_seconds;
}

}  // namespace

std::string EntityTagOf(const FileIdentity& file) {
  char text[64];
  const auto nanoseconds = static_cast<unsigned long long>(file.modified_seconds) * 1000000000ull +
                           static_cast<unsigned long long>(file.modified_nanoseconds);
  std::snprintf(text, sizeof text, "\"%llx-%llx-%llx\"", static_cast<unsigned long long>(file.inode),
                static_cast<unsigned long long>(file.size), nanoseconds);
  return text;
}

bool TagListMatches(std::string_view list, std::string_view tag, bool weak) {
  list = Trimmed(list);
  if (list == "*") return true;
  if (!weak && IsWeak(tag)) return false;
  bool matched = false;
  while (!list.empty()) {
    std::string_view rest;
    const std::optional<std::string_view> item = NextTag(list, &rest);
    if (!item) return false;
    if (weak ? Opaque(*item) == Opaque(tag) : (!IsWeak(*item) && *item == tag)) matched = true;
    rest = Trimmed(rest);
    if (rest.empty()) break;
    if (rest.front() != ',') return false;
    // Empty list elements ("a, , b") are allowed.
    do {
      rest = Trimmed(rest.substr(1));
    } while (rest.starts_with(","));
    list = rest;
  }
  return matched;
}

DownloadPlan PlanDownload(const DownloadConditions& conditions, const FileIdentity& file) {
  const std::string tag = EntityTagOf(file);
  if (!conditions.if_match.empty()) {
    if (!TagListMatches(conditions.if_match, tag, false)) return {412, {}};
  } else if (!conditions.if_unmodified_since.empty()) {
    const std::optional<std::int64_t> date = ParseHttpDate(conditions.if_unmodified_since);
    if (date && file.modified_seconds > *date) return {412, {}};
  }
  if (!conditions.if_none_match.empty()) {
    if (TagListMatches(conditions.if_none_match, tag, true)) return {304, {}};
  } else if (!conditions.if_modified_since.empty() && NotModifiedSince(conditions.if_modified_since, file)) {
    return {304, {}};
  }
  if (!conditions.get || conditions.range.empty()) return {200, {}};
  if (!conditions.if_range.empty() && !IfRangeHolds(conditions.if_range, file)) return {200, {}};
  const RangeDecision range = DecideRange(conditions.range, file.size);
  switch (range.answer) {
    case RangeAnswer::kWhole:
      return {200, range};
    case RangeAnswer::kPartial:
      return {206, range};
    case RangeAnswer::kUnsatisfiable:
      return {416, range};
  }
  return {200, {}};
}

}  // namespace zimrax::zmfile
