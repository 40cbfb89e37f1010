#include "server/upload_hooks.h"

#include "server/file_name_rules.h"
#include "server/hook_document.h"

namespace zimrax::zmfile {
namespace {

using Clock = std::chrono::steady_clock;

HookSubject SubjectOf(const FileFacts& facts, const HookFields& fields, const HookRequest& request,
                      const std::string& stored_name, const std::string& policy) {
  HookSubject subject;
  subject.stored_name = stored_name;
  subject.client_name = facts.client_name;
  subject.size = facts.size;
  subject.sha256 = facts.sha256;
  subject.mime_type = facts.mime_type;
  subject.user = request.user;
  subject.client_address = request.client_address;
  subject.fields = fields;
  subject.conflict = policy;
  return subject;
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

std::optional<Refusal> UploadHooks::AskPre(const HookSubject& subject, const std::string& field, int data_fd,
                                           Clock::time_point budget_end, std::string* note) {
  if (settings_.pre_data && data_fd < 0) {
    // Never asked without the bytes it checks: the copy had no room in the
    // descriptor budget, or could not be made.
    *note = "pre-hook not run for " + field + " \"" + subject.stored_name + "\": no copy of its bytes to give it";
    return Refusal{503, "The server has too many files open right now. Wait a moment and retry.",
                   RefusalKind::kInternal};
  }
  HookVerdict verdict;
  if (Clock::now() >= budget_end) {
    verdict.failed = true;
    verdict.reason = "the time for this upload's pre-hooks ran out before this file";
  } else {
    ++counters_.pre_runs;
    std::map<std::string, std::string> variables = HookVariables("pre", subject);
    if (data_fd >= 0) variables.emplace("ZMFILE_DATA_FD", std::string(1, '3'));
    verdict = settings_.pre->Run(PreHookDocument(subject), variables,
                                 std::min(Clock::now() + settings_.timeout, budget_end), data_fd);
  }
  if (verdict.accepted) return std::nullopt;
  ++counters_.pre_refusals;
  if (verdict.failed) ++counters_.pre_failures;
  std::string message = verdict.message;
  if (message.empty()) {
    message = verdict.failed
                  ? "The server's check of this file did not complete (" + verdict.reason + "). Try again later."
                  : "The server's check refused this file.";
  }
  *note = "pre-hook refused " + field + " \"" + subject.stored_name + "\" (" + verdict.reason + ")" +
          (verdict.message.empty() ? "" : ": " + verdict.message);
  return Refusal{403, std::move(message), RefusalKind::kHook};
}

std::vector<std::string> UploadHooks::CheckBeforePublish(PrePublish& upload, const HookFormTap& form,
                                                         const HookRequest& request) {
  std::vector<std::string> notes;
  if (!settings_.pre) return notes;
  const Clock::time_point budget_end = Clock::now() + settings_.pre_budget;
  for (FileFacts& file : upload.files) {
    // A file input without a name: the component answers it itself.
    if (file.refusal || file.stored_name.empty()) continue;
    const HookSubject subject = SubjectOf(file, form.fields(), request, file.stored_name, upload.conflict);
    std::string note;
    file.refusal = AskPre(subject, file.field, form.DataFd(file.field), budget_end, &note);
    if (file.refusal) notes.push_back(std::move(note));
  }
  return notes;
}

std::optional<Refusal> UploadHooks::CheckStagedFile(const FileFacts& facts, const HookFields& fields,
                                                    const std::string& conflict, const HookRequest& request,
                                                    int data_fd, std::string* note) {
  if (!settings_.pre) return std::nullopt;
  const HookSubject subject = SubjectOf(facts, fields, request, facts.stored_name, conflict);
  return AskPre(subject, "resumable upload", settings_.pre_data ? data_fd : -1, Clock::now() + settings_.pre_budget,
                note);
}

void UploadHooks::Notice(const HookSubject& subject, int code, const std::string& stored) {
  if (!post_queue_) return;
  HookOutcome outcome;
  outcome.result_code = code;
  outcome.stored_name = stored;
  outcome.message = "stored";
  post_queue_->Push(PostHookNotice{PostHookDocument(subject, outcome), HookVariables("post", subject), stored});
}

void UploadHooks::NoticeStoredFile(const FileFacts& facts, const std::string& stored, const HookFields& fields,
                                   const std::string& conflict, const HookRequest& request) {
  Notice(SubjectOf(facts, fields, request, stored, conflict), 0, stored);
}

void UploadHooks::NoticeAfterPublish(const UploadReport& report, const HookFormTap& form, const HookRequest& request) {
  if (!post_queue_) return;
  for (const FileReport& file : report.files) {
    const std::string stored = NameStoredFor(file);
    if (stored.empty()) continue;
    FileFacts facts = file.facts.value_or(FileFacts{});
    if (!file.facts) facts.client_name = file.client_name;
    Notice(SubjectOf(facts, form.fields(), request, stored, file.conflict), file.outcome ? file.outcome->code : 0,
           stored);
  }
}

}  // namespace zimrax::zmfile
