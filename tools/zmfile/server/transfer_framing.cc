#include "server/transfer_framing.h"

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "server/ascii_text.h"

namespace zimrax::zmfile {
namespace {

namespace http = boost::beast::http;

// A token's characters (tchar): letters, digits and !#$%&'*+-.^_`|~.
bool IsTokenChar(char c) {
  const auto u = static_cast<unsigned char>(c);
  if (u >= '0' && u <= '9') return true;
  if ((u | 0x20) >= 'a' && (u | 0x20) <= 'z') return true;
  return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

// The codings of one Transfer-Encoding value, lower-cased; nullopt for a
// value that is not a plain comma-separated list of tokens.
std::optional<std::vector<std::string>> Codings(std::string_view value) {
  std::vector<std::string> codings;
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = std::min(value.find(',', start), value.size());
    const std::string_view item = Trimmed(value.substr(start, comma - start));
    if (item.empty() || !std::all_of(item.begin(), item.end(), IsTokenChar)) return std::nullopt;
    codings.push_back(Lowered(item));
    if (comma == value.size()) return codings;
    start = comma + 1;
  }
}

Refusal Bad(const std::string& why) {
  return Refusal{400, "The request's framing is refused: " + why + ".", RefusalKind::kFraming};
}

}  // namespace

std::optional<Refusal> CheckBodyFraming(const http::fields& headers, unsigned version) {
  const std::size_t fields = headers.count(http::field::transfer_encoding);
  if (fields == 0) return std::nullopt;
  if (fields > 1) return Bad("more than one Transfer-Encoding header");
  if (headers.count(http::field::content_length) > 0) {
    return Bad("Transfer-Encoding and Content-Length together; send one of them");
  }
  if (version < 11) return Bad("Transfer-Encoding on an HTTP/1.0 request; send Content-Length");
  const auto value = headers.find(http::field::transfer_encoding)->value();
  const std::optional<std::vector<std::string>> codings = Codings(std::string_view(value.data(), value.size()));
  if (!codings) return Bad("Transfer-Encoding is not a plain list of codings");
  if (codings->back() != "chunked") return Bad("the last Transfer-Encoding coding is not chunked");
  if (std::count(codings->begin(), codings->end(), "chunked") > 1) return Bad("chunked is named more than once");
  if (codings->size() > 1) {
    return Refusal{501,
                   "Transfer-Encoding codings other than chunked are not supported; send the body with "
                   "Transfer-Encoding: chunked alone.",
                   RefusalKind::kFraming};
  }
  return std::nullopt;
}

}  // namespace zimrax::zmfile
