// The manifest that bench/compare hands its C++ helpers: one request body per
// line, tab-separated: body path, boundary, data offset, data length and the
// file name the browser sent.
#ifndef ZIMRAX_BENCH_BODY_MANIFEST_H_
#define ZIMRAX_BENCH_BODY_MANIFEST_H_

#include <cstdint>
#include <string>
#include <vector>

namespace zimrax::bench {

struct ManifestEntry {
  std::string body_path;
  std::string boundary;
  std::uint64_t data_offset = 0;
  std::uint64_t data_length = 0;
  std::string file_name;
};

// Reads the manifest at `path` into `entries`. Returns an empty string on
// success, otherwise a description of the first unreadable line.
std::string ReadManifest(const std::string& path, std::vector<ManifestEntry>& entries);

}  // namespace zimrax::bench

#endif  // ZIMRAX_BENCH_BODY_MANIFEST_H_
