// The upload page (HTML, CSS, JavaScript from web/), built into the binary
// so that the server needs no files beside it.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_EMBEDDED_ASSETS_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_EMBEDDED_ASSETS_H_

#include <cstddef>
#include <string_view>

namespace zimrax::zmfile {

struct EmbeddedFile {
  std::string_view path;   // "/index.html"
  std::string_view bytes;  // the file's content
};

// Generated at build time from web/.
extern const EmbeddedFile kEmbeddedFiles[];
extern const std::size_t kEmbeddedFileCount;

struct Asset {
  std::string_view bytes;
  std::string_view content_type;
};

// The asset served at URL `path` ("/" is /index.html); its content type is
// empty when there is none.
Asset FindAsset(std::string_view path);

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_EMBEDDED_ASSETS_H_
