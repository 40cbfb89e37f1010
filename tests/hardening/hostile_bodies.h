// Builders for hostile request bodies and for the random-data bodies of the
// same size that they are measured against. Shared by the hostile-body tests
// and benchmark.
#ifndef ZIMRAX_TESTS_HARDENING_HOSTILE_BODIES_H_
#define ZIMRAX_TESTS_HARDENING_HOSTILE_BODIES_H_

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "support/multipart_body.h"

namespace zimrax::hostile {

using Body = std::vector<std::uint8_t>;

inline constexpr char kDisposition[] = "Content-Disposition: form-data; name=\"";

// Boundaries a near-boundary body is built on: what curl and browsers send,
// and ones chosen to defeat a searcher: a long run of one byte ended by
// another, and a periodic one.
inline const std::vector<std::string>& NearBoundaryTokens() {
  static const std::vector<std::string> tokens = {
      "------------------------d74496d66958873e",  // curl
      "----WebKitFormBoundary7MA4YWxkTrZu0gW",     // Chrome, Safari
      std::string(68, '-') + "x",                  // run of one byte
      "ab" + std::string(66, '-') + "y",           // run after a short head
      "abababababababababababababababababababababababababababababababababab",  // periodic
      std::string(300, '-') + "z",                 // longer than most searchers' short-needle path
  };
  return tokens;
}

inline void Append(Body& body, const std::string& text) { body.insert(body.end(), text.begin(), text.end()); }

// The delimiter line `line`, a section header for field `name` (a file
// field when `filename` is not empty), the blank line, `payload`, CR LF, and
// the close delimiter.
inline Body LineSection(const std::string& line, const std::string& name, const std::string& filename,
                        const Body& payload) {
  const std::string data = testing::AsText(payload);
  const std::string text = (filename.empty() ? testing::Field(name, data, line)
                                             : testing::FileField(name, filename, data, line, "application/octet-stream")) +
                           testing::Close(line);
  return Body(text.begin(), text.end());
}

// As LineSection, with the delimiter line "--" token.
inline Body SingleSection(const std::string& token, const std::string& name, const std::string& filename,
                          const Body& payload) {
  return LineSection("--" + token, name, filename, payload);
}

// A delimiter line without the leading "--" whose first and last bytes
// recur all over it, and data made of it with its last byte changed, over
// and over: many places agree with the line in its first and last byte and
// differ from it only late, which is what defeats a candidate filter.
inline const std::string kFilterDefeatingLine = "abababababababababababababababababababababababababababababababababab";

inline Body FilterDefeating(std::size_t size) {
  const std::string unit = kFilterDefeatingLine.substr(0, kFilterDefeatingLine.size() - 1) + "a";
  Body bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(unit[i % unit.size()]);
  return bytes;
}

// `size` random bytes; with `without_crlf` no CR is followed by LF.
inline Body RandomBytes(std::size_t size, std::uint32_t seed, bool without_crlf = false) {
  std::mt19937_64 rng(seed);
  Body bytes(size);
  for (std::size_t i = 0; i < size; i += 8) {
    const std::uint64_t word = rng();
    for (std::size_t k = 0; k < 8 && i + k < size; ++k) bytes[i + k] = static_cast<std::uint8_t>(word >> (8 * k));
  }
  if (without_crlf) {
    for (std::size_t i = 1; i < size; ++i) {
      if (bytes[i - 1] == '\r' && bytes[i] == '\n') bytes[i] = 'n';
    }
  }
  return bytes;
}

// The delimiter line "--" token without its last byte, repeated to `size`.
inline Body NearBoundaries(const std::string& token, std::size_t size) {
  const std::string unit = ("--" + token).substr(0, token.size() + 1);
  Body bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(unit[i % unit.size()]);
  return bytes;
}

// `count` tiny plain sections named "x", then a field `last_name` (a file
// field when `filename` is not empty) holding "last", then the close.
inline Body TinySections(std::size_t count, const std::string& last_name, const std::string& filename) {
  const std::string token = "b";
  Body body;
  const std::string tiny = "--" + token + "\r\n" + kDisposition + "x\"\r\n\r\n1\r\n";
  body.reserve(count * tiny.size() + 200);
  for (std::size_t i = 0; i < count; ++i) Append(body, tiny);
  Body last = SingleSection(token, last_name, filename, Body{'l', 'a', 's', 't'});
  body.insert(body.end(), last.begin(), last.end());
  return body;
}

// A body of `size` bytes without any CR LF that holds, after a first line
// "--b", the header of field "v" (with a file name when `with_filename`),
// the rest being random bytes other than NUL (so that the delimiter line, a
// NUL byte for a body without CR LF, occurs nowhere).
inline Body WithoutCrLf(std::size_t size, bool with_filename) {
  Body body;
  Append(body, "--b\n" + std::string(kDisposition) + "v\"" + (with_filename ? "; filename=\"v.bin\"" : "") + "\n\n");
  Body rest = RandomBytes(size > body.size() ? size - body.size() : 0, 7, true);
  for (std::uint8_t& byte : rest) byte = byte == 0 ? 1 : byte;
  body.insert(body.end(), rest.begin(), rest.end());
  return body;
}

// A section named by `length` bytes of 'n' (never matched: too long), then
// the plain field "v" holding "after".
inline Body LongSectionName(std::size_t length) {
  Body body;
  Append(body, "--b\r\n" + std::string(kDisposition) + std::string(length, 'n') + "\"\r\n\r\nlong\r\n");
  Append(body, "--b\r\n" + std::string(kDisposition) + "v\"\r\n\r\nafter\r\n--b--\r\n");
  return body;
}

}  // namespace zimrax::hostile

#endif  // ZIMRAX_TESTS_HARDENING_HOSTILE_BODIES_H_
