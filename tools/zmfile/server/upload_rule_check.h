// The upload rules applied to one form's files once its body has ended,
// and the pre-publish check run on those that pass: the last two stages
// before the component publishes them.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_UPLOAD_RULE_CHECK_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_UPLOAD_RULE_CHECK_H_

#include <string>
#include <vector>

#include "server/file_facts.h"
#include "server/file_inspector.h"
#include "server/upload_report.h"
#include "server/upload_rules.h"

namespace zimrax::zmfile {

// The index of "upload1" to "upload100" in the stream's file fields.
std::size_t FileFieldIndex(const std::string& field);

// Refuses, in `files`, each file not refused yet that a rule refuses: past
// max_file_size (413, as the inspector saw it), its type (415), or past
// max_files among the files that pass the other rules, in field order (413).
// A file whose data the inspector never saw (not found, not stored) is left
// to the component. REQUIRES: inspector.Settle() was called.
void ApplyUploadRules(const UploadRules& rules, const FileInspector* inspector, std::vector<FileReport>& files);

// Fills each file's facts (the files not refused or faulted), runs `check`
// (when set) on them, and refuses the files it refuses. A check that throws
// refuses them all with 500.
void RunPrePublishCheck(const PrePublishCheck& check, const FileInspector* inspector, const std::string& comment,
                        const std::string& conflict, std::vector<FileReport>& files);

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_UPLOAD_RULE_CHECK_H_
