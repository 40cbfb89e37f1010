#include "server/http_date.h"

#include <cstdio>
#include <ctime>

#include "server/ascii_text.h"

namespace zimrax::zmfile {
namespace {

constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// The forms in strptime's words. Day and month names are English in the
// "C" locale, which the server never leaves.
constexpr const char* kForms[] = {
    "%a, %d %b %Y %H:%M:%S GMT",  // IMF-fixdate
    "%A, %d-%b-%y %H:%M:%S GMT",  // RFC 850
    "%a %b %e %H:%M:%S %Y",       // asctime
};

}  // namespace

std::string FormatHttpDate(std::int64_t seconds) {
  const auto time = static_cast<std::time_t>(seconds);
  struct tm parts {};
  ::gmtime_r(&time, &parts);
  char text[40];
  std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[parts.tm_wday], parts.tm_mday,
                kMonths[parts.tm_mon], parts.tm_year + 1900, parts.tm_hour, parts.tm_min, parts.tm_sec);
  return text;
}

std::optional<std::int64_t> ParseHttpDate(std::string_view text) {
  const std::string value(Trimmed(text));
  for (const char* form : kForms) {
    struct tm parts {};
    const char* end = ::strptime(value.c_str(), form, &parts);
    if (end == nullptr || *end != '\0') continue;
    return static_cast<std::int64_t>(::timegm(&parts));
  }
  return std::nullopt;
}

}  // namespace zimrax::zmfile
