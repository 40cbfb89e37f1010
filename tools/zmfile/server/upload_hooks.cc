#include "server/upload_hooks.h"

#include "server/file_name_rules.h"
#include "server/hook_document.h"

namespace zimrax::zmfile {
namespace {

using Clock = std::chrono::steady_clock;

HookSubject SubjectOf(const FileReport& file, const FileFactsTap& facts, const HookRequest& request,
                      const std::string& stored_name, const std::string& policy) {
  HookSubject subject;
  subject.stored_name = stored_name;
  subject.client_name = file.client_name;
  if (const FileFacts* found = facts.Facts(file.field)) {
    subject.size = found->size;
    subject.sha256 = found->sha256;
    subject.mime_type = found->mime_type;
  }
  subject.user = request.user;
  subject.client_address = request.client_address;
  subject.fields = facts.fields();
  subject.conflict = policy;
  return subject;
}

// A file the component is still to store: not refused or faulted, and
// with a name (the component itself answers a file input without one).
bool StillGoing(const FileReport& file) {
  return !file.refusal && !file.Faulted() && !StoredPartOfClientName(file.client_name).empty();
}

}  // namespace

UploadHooks::UploadHooks(HookSettings settings, HookCounters& counters, Logger log)
    : settings_(std::move(settings)), counters_(counters), log_(std::move(log)) {
  if (settings_.post) {
    settings_.post_limits.timeout = settings_.timeout;
    post_queue_ = std::make_unique<PostHookQueue>(*settings_.post, settings_.post_limits, counters_, log_);
  }
}

UploadHooks::~UploadHooks() = default;

std::vector<std::string> UploadHooks::CheckBeforePublish(UploadReport& report, const FileFactsTap& facts,
                                                         const HookRequest& request, const std::string& policy,
                                                         const std::function<void(const std::string&)>& discard) {
  std::vector<std::string> notes;
  if (!settings_.pre) return notes;
  const Clock::time_point budget_end = Clock::now() + settings_.pre_budget;
  for (FileReport& file : report.files) {
    if (!StillGoing(file)) continue;
    const std::string name(StoredPartOfClientName(file.client_name));
    HookVerdict verdict;
    if (Clock::now() >= budget_end) {
      verdict.failed = true;
      verdict.reason = "the time for this upload's pre-hooks ran out before this file";
    } else {
      ++counters_.pre_runs;
      const HookSubject subject = SubjectOf(file, facts, request, name, policy);
      const FileFacts* found = facts.Facts(file.field);
      const int data_fd = found != nullptr ? found->data_fd : -1;
      std::map<std::string, std::string> variables = HookVariables("pre", subject);
      if (data_fd >= 0) variables.emplace("ZMFILE_DATA_FD", std::string(1, '3'));
      verdict = settings_.pre->Run(PreHookDocument(subject), variables,
                                   std::min(Clock::now() + settings_.timeout, budget_end), data_fd);
    }
    if (verdict.accepted) continue;
    ++counters_.pre_refusals;
    if (verdict.failed) ++counters_.pre_failures;
    std::string message = verdict.message;
    if (message.empty()) {
      message = verdict.failed ? "The server's check of this file did not complete (" + verdict.reason +
                                     "). Try again later."
                               : "The server's check refused this file.";
    }
    notes.push_back("pre-hook refused " + file.field + " \"" + name + "\" (" + verdict.reason + ")" +
                    (verdict.message.empty() ? "" : ": " + verdict.message));
    file.refusal = Refusal{403, std::move(message), RefusalKind::kHook};
    discard(file.field);
  }
  return notes;
}

void UploadHooks::NoticeAfterPublish(const UploadReport& report, const FileFactsTap& facts,
                                     const HookRequest& request) {
  if (!post_queue_) return;
  for (const FileReport& file : report.files) {
    const std::string stored = NameStoredFor(file);
    if (stored.empty()) continue;
    const HookSubject subject = SubjectOf(file, facts, request, stored, file.conflict);
    HookOutcome outcome;
    outcome.result_code = file.outcome ? file.outcome->code : 0;
    outcome.stored_name = stored;
    outcome.message = "stored";
    post_queue_->Push(PostHookNotice{PostHookDocument(subject, outcome), HookVariables("post", subject), stored});
  }
}

}  // namespace zimrax::zmfile
