#include "server/embedded_assets.h"

namespace zimrax::zmfile {
namespace {

std::string_view ContentTypeOf(std::string_view path) {
  if (path.ends_with(".html")) return "text/html; charset=utf-8";
  if (path.ends_with(".css")) return "text/css; charset=utf-8";
  if (path.ends_with(".js")) return "text/javascript; charset=utf-8";
  if (path.ends_with(".svg")) return "image/svg+xml";
  if (path.ends_with(".txt")) return "text/plain; charset=utf-8";
  return "application/octet-stream";
}

}  // namespace

Asset FindAsset(std::string_view path) {
  if (path == "/") path = "/index.html";
  for (std::size_t i = 0; i < kEmbeddedFileCount; ++i) {
    if (kEmbeddedFiles[i].path == path) return {kEmbeddedFiles[i].bytes, ContentTypeOf(path)};
  }
  return {};
}

}  // namespace zimrax::zmfile
