#include "server/request_target.h"

#include <algorithm>
#include <utility>

#include "server/ascii_text.h"

namespace zimrax::zmfile {

namespace http = boost::beast::http;

OriginFormTarget OriginFormOf(std::string_view target, const std::vector<WebOrigin>& own) {
  if (target.starts_with('/')) return {std::string(target), std::nullopt};
  const std::size_t scheme_end = target.find("://");
  if (scheme_end == std::string_view::npos) {
    return {"", Refusal{400, "The request target is neither a path nor an absolute URL."}};
  }
  const std::size_t path_start = target.find_first_of("/?#", scheme_end + 3);
  const std::string_view authority = target.substr(0, path_start);
  const std::optional<WebOrigin> origin = ParseWebOrigin(authority, false);
  if (!origin || std::find(own.begin(), own.end(), *origin) == own.end()) {
    std::string shown(authority.substr(0, 200));
    for (char& c : shown) c = (c >= 0x20 && c < 0x7f) ? c : '?';
    return {"", Refusal{421, std::string("This server does not answer for ").append(shown).append(".")}};
  }
  if (path_start == std::string_view::npos) return {"/", std::nullopt};
  std::string_view rest = target.substr(path_start);
  rest = rest.substr(0, rest.find('#'));
  std::string origin_form;
  if (!rest.starts_with('/')) origin_form.push_back('/');  // "http://host?query"
  origin_form.append(rest);
  return {std::move(origin_form), std::nullopt};
}

std::optional<Refusal> CheckExpectation(const http::fields& headers) {
  const auto [first, last] = headers.equal_range(http::field::expect);
  for (auto it = first; it != last; ++it) {
    const std::string_view raw(it->value().data(), it->value().size());
    if (Lowered(Trimmed(raw)) != "100-continue") {
      return Refusal{417, "The only expectation this server meets is 100-continue."};
    }
  }
  return std::nullopt;
}

}  // namespace zimrax::zmfile
