#include "server/listing_query.h"

#include <charconv>
#include <cstdint>

#include "server/file_name_rules.h"

namespace zimrax::zmfile {
namespace {

// A name is at most 255 bytes on the file systems the server runs on.
constexpr std::size_t kMaxCursorText = 2 * (8 + 255);
constexpr char kHex[] = "0123456789abcdef";

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

std::string EncodeCursor(const ListingCursor& cursor) {
  std::string text;
  const auto bits = static_cast<std::uint64_t>(cursor.modified_ns);
  for (int shift = 60; shift >= 0; shift -= 4) text += kHex[(bits >> shift) & 15];
  for (const char c : cursor.name) {
    const auto byte = static_cast<unsigned char>(c);
    text += kHex[byte >> 4];
    text += kHex[byte & 15];
  }
  return text;
}

std::optional<ListingCursor> DecodeCursor(std::string_view text) {
  if (text.size() <= 16 || text.size() > kMaxCursorText || text.size() % 2 != 0) return std::nullopt;
  std::uint64_t bits = 0;
  for (std::size_t i = 0; i < 16; ++i) {
    const int digit = HexValue(text[i]);
    if (digit < 0) return std::nullopt;
    bits = bits << 4 | static_cast<std::uint64_t>(digit);
  }
  ListingCursor cursor;
  cursor.modified_ns = static_cast<std::int64_t>(bits);
  for (std::size_t i = 16; i < text.size(); i += 2) {
    const int high = HexValue(text[i]);
    const int low = HexValue(text[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    cursor.name += static_cast<char>(high * 16 + low);
  }
  if (!IsPlainFileName(cursor.name)) return std::nullopt;
  return cursor;
}

ListingQuery ParseListingQuery(std::string_view target) {
  ListingQuery query;
  const std::size_t mark = target.find('?');
  if (mark == std::string_view::npos) return query;
  std::string_view rest = target.substr(mark + 1);
  while (!rest.empty()) {
    const std::size_t amp = rest.find('&');
    const std::string_view pair = rest.substr(0, amp);
    rest = amp == std::string_view::npos ? std::string_view() : rest.substr(amp + 1);
    const std::size_t equals = pair.find('=');
    const std::string_view key = pair.substr(0, equals);
    const std::string_view value = equals == std::string_view::npos ? std::string_view() : pair.substr(equals + 1);
    if (key == "limit") {
      std::size_t limit = 0;
      const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), limit);
      if (error != std::errc() || end != value.data() + value.size() || limit < 1 || limit > kMaxListLimit) {
        query.error = "limit must be a whole number from 1 to " + std::to_string(kMaxListLimit) + ".";
        return query;
      }
      query.limit = limit;
    } else if (key == "cursor") {
      query.after = DecodeCursor(value);
      if (!query.after) {
        query.error = "The cursor is not one this server gave out. Start again from the first page.";
        return query;
      }
    }
  }
  return query;
}

}  // namespace zimrax::zmfile
