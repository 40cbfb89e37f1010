// Where a created upload is reached, as its Location header tells it.
// Behind a reverse proxy that forwards a sub-path (--public-url with a
// path), the upload's path is under that sub-path, or a client other than
// the server's own page would send its PATCH outside of it.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_RESUMABLE_LOCATION_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_RESUMABLE_LOCATION_H_

#include <string>
#include <string_view>
#include <vector>

#include "server/public_url.h"

namespace zimrax::zmfile {

// The path of upload `id` for a request whose Host header is `host`: under
// the path of the public URL the Host names, else, when every public URL
// has the same path (a proxy may pass its own address as Host), under
// that one; "/resumable/ID" without public URLs.
std::string UploadLocation(const std::vector<PublicUrl>& public_urls, std::string_view host, std::string_view id);

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_RESUMABLE_LOCATION_H_
