// Optional file inputs: a form may leave some of its file inputs empty
// ("no file chosen"). The rule, applied to the component's outcomes:
// - a field sent unchosen keeps the component's code (104) and says that
//   no file was chosen;
// - beside at least one chosen file, every unchosen field is skipped, and
//   upload1 among them: it does not count for the status, which is 200
//   when every chosen file was stored, and the answer's top level tells
//   the first chosen file (as when the form has no upload1);
// - when no file was chosen at all, nothing is skipped: the status is 400
//   and the top level tells upload1 (or the first file field).
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_OPTIONAL_INPUTS_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_OPTIONAL_INPUTS_H_

#include <functional>

#include "server/upload_report.h"

namespace zimrax::zmfile {

// Applies the rule above to `report`. `sent_unchosen` tells whether a file
// field's part came with filename="" and no data; it is asked only about
// fields the component answered with 104.
void ApplyOptionalInputs(UploadReport& report, const std::function<bool(const FileReport&)>& sent_unchosen);

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_OPTIONAL_INPUTS_H_
