#include "base64.h"

namespace zimrax::zmfile {

std::string Base64Encode(std::string_view bytes) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const unsigned n = (static_cast<unsigned char>(bytes[i]) << 16) | (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                       static_cast<unsigned char>(bytes[i + 2]);
    out += kAlphabet[(n >> 18) & 63];
    out += kAlphabet[(n >> 12) & 63];
    out += kAlphabet[(n >> 6) & 63];
    out += kAlphabet[n & 63];
  }
  const std::size_t rest = bytes.size() - i;
  if (rest > 0) {
    unsigned n = static_cast<unsigned char>(bytes[i]) << 16;
    if (rest == 2) n |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    out += kAlphabet[(n >> 18) & 63];
    out += kAlphabet[(n >> 12) & 63];
    out += rest == 2 ? kAlphabet[(n >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

namespace {

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

bool Base64Decode(std::string_view text, std::string* bytes) {
  bytes->clear();
  if (text.size() % 4 != 0) return false;
  bytes->reserve(text.size() / 4 * 3);
  for (std::size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    // Padding only at the very end: "xx==" or "xxx=".
    const std::size_t padding = !last ? 0 : text[i + 3] != '=' ? 0 : text[i + 2] != '=' ? 1 : 2;
    unsigned n = 0;
    for (std::size_t j = 0; j < 4 - padding; ++j) {
      const int value = Base64Value(text[i + j]);
      if (value < 0) return false;
      n = (n << 6) | static_cast<unsigned>(value);
    }
    n <<= 6 * padding;
    // The bits that padding leaves over must be zero, so that every byte
    // string has exactly one encoding.
    if (padding == 1 && (n & 0xff) != 0) return false;
    if (padding == 2 && (n & 0xffff) != 0) return false;
    bytes->push_back(static_cast<char>((n >> 16) & 0xff));
    if (padding < 2) bytes->push_back(static_cast<char>((n >> 8) & 0xff));
    if (padding < 1) bytes->push_back(static_cast<char>(n & 0xff));
  }
  return true;
}

}  // namespace zimrax::zmfile
