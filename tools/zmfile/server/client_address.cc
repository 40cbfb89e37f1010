#include "server/client_address.h"

#include <boost/asio/ip/address.hpp>
#include <string_view>

namespace zimrax::zmfile {

std::string ClientAddress(const boost::beast::http::fields& headers, const std::string& peer, bool trust_proxy) {
  if (!trust_proxy) return peer;
  std::string_view last;
  const auto [begin, end] = headers.equal_range("X-Forwarded-For");
  for (auto field = begin; field != end; ++field) {
    const std::string_view value(field->value().data(), field->value().size());
    const auto comma = value.rfind(',');
    const std::string_view entry = comma == std::string_view::npos ? value : value.substr(comma + 1);
    last = entry;
  }
  const auto first = last.find_first_not_of(" \t");
  if (first == std::string_view::npos) return peer;
  last = last.substr(first, last.find_last_not_of(" \t") - first + 1);
  boost::system::error_code error;
  const auto address = boost::asio::ip::make_address(std::string(last), error);
  return error ? peer : address.to_string();
}

}  // namespace zimrax::zmfile
