// The hooks of `zmfile serve`, as the uploads meet them: the pre-hook
// asked about each file before it is published (within the time given to
// one request's pre-hooks together), the post-hook told of each file
// stored, through its queue. One per server; any thread may use it.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_UPLOAD_HOOKS_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_UPLOAD_HOOKS_H_

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "server/file_facts.h"
#include "server/hook_counters.h"
#include "server/hook_document.h"
#include "server/hook_form_tap.h"
#include "server/hook_settings.h"
#include "server/post_hook_queue.h"
#include "server/upload_report.h"

namespace zimrax::zmfile {

// Who sent the upload.
struct HookRequest {
  std::string user;
  std::string client_address;
};

// The form's value fields, or a resumable upload's metadata: (name, value).
using HookFields = std::vector<std::pair<std::string, std::string>>;

class UploadHooks {
 public:
  using Logger = std::function<void(const std::string&)>;

  // REQUIRES: `counters` outlives the hooks.
  UploadHooks(HookSettings settings, HookCounters& counters, Logger log);
  ~UploadHooks();

  bool has_pre() const { return settings_.pre.has_value(); }
  // A command pre-hook reads each file's bytes on descriptor 3 (--hook-pre-data).
  bool pre_reads_data() const { return settings_.pre && settings_.pre_data && !settings_.pre->is_http(); }

  // Asks the pre-hook about each file of `upload` (those that passed the
  // rules), in order. A file it does not accept gets a 403 refusal with the
  // hook's message. Returns the log notes of the refusals. Blocks while the
  // hooks run: call it off the I/O threads (it is a PrePublishCheck's body).
  std::vector<std::string> CheckBeforePublish(PrePublish& upload, const HookFormTap& form, const HookRequest& request);

  // A resumable upload's file, its last byte in: asks the pre-hook about
  // it (`fields`: its metadata; `data_fd`: its bytes for --hook-pre-data,
  // or -1). Returns the refusal, with the log note in *note, or nullopt
  // to publish. Blocks while the hook runs.
  std::optional<Refusal> CheckStagedFile(const FileFacts& facts, const HookFields& fields, const std::string& conflict,
                                         const HookRequest& request, int data_fd, std::string* note);
  // Queues the post-hook notice of one file stored as `stored` (code 0).
  void NoticeStoredFile(const FileFacts& facts, const std::string& stored, const HookFields& fields,
                        const std::string& conflict, const HookRequest& request);

  // Queues a post-hook notice for each file `report` stored. Never blocks.
  void NoticeAfterPublish(const UploadReport& report, const HookFormTap& form, const HookRequest& request);

 private:
  // One pre-hook run about `subject` before `budget_end`: nullopt when it
  // accepts, else the refusal (and the log note about `field`).
  std::optional<Refusal> AskPre(const HookSubject& subject, const std::string& field, int data_fd,
                                std::chrono::steady_clock::time_point budget_end, std::string* note);
  void Notice(const HookSubject& subject, int code, const std::string& stored);

  HookSettings settings_;
  HookCounters& counters_;
  Logger log_;
  std::unique_ptr<PostHookQueue> post_queue_;
};

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_UPLOAD_HOOKS_H_
