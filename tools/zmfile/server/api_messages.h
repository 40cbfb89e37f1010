// The "Message" of a JSON answer: written for whoever calls the API, in
// its terms (the form's field names, conflict=makeunique, the server's
// options), where the page's sentences speak of buttons and pickers.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_API_MESSAGES_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_API_MESSAGES_H_

#include <string>

#include "server/upload_report.h"

namespace zimrax::zmfile {

// The sentence for `file`, one of `request.files` or the request's own
// part: PlainMessage's, except where that one speaks of the page. The
// advice after a 106 names only the conflict values in
// request.client_choices. Never empty; names in it are raw bytes.
std::string ApiMessage(const FileReport& file, const UploadReport& request);

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_API_MESSAGES_H_
