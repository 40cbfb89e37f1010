#include "server/hook_target.h"

#include <csignal>
#include <cstring>

#include "server/hook_command_line.h"
#include "server/hook_message.h"
#include "server/hook_process.h"

namespace zimrax::zmfile {
namespace {

using Clock = std::chrono::steady_clock;

// The hook's PATH: the system's programs, nothing of the server's own environment.
constexpr const char* kHookPath = "PATH=/usr/local/bin:/usr/bin:/bin";

std::string Seconds(Clock::duration duration) {
  const auto tenths = (std::chrono::duration_cast<std::chrono::milliseconds>(duration).count() + 50) / 100;
  std::string text = std::to_string(tenths / 10);
  if (tenths % 10 != 0) text.append(".").append(std::to_string(tenths % 10));
  return text.append(" s");
}

HookVerdict CommandVerdict(const ProcessRun& run, Clock::duration allowed) {
  HookVerdict verdict;
  verdict.message = HookMessage(run.err);
  if (!run.started) {
    verdict.failed = true;
    verdict.reason = run.error;
  } else if (run.timed_out) {
    verdict.failed = true;
    verdict.reason = "timed out after " + Seconds(allowed);
  } else if (!run.exited) {
    verdict.failed = true;
    verdict.reason = "killed by signal " + std::to_string(run.signal) + " (" + ::strsignal(run.signal) + ")";
  } else if (run.exit_code != 0) {
    verdict.reason = "exit " + std::to_string(run.exit_code);
  } else {
    verdict.accepted = true;
  }
  return verdict;
}

HookVerdict HttpVerdict(const HttpRun& run, Clock::duration allowed) {
  HookVerdict verdict;
  verdict.message = HookMessage(run.body);
  if (run.timed_out) {
    verdict.failed = true;
    verdict.reason = "no answer within " + Seconds(allowed);
  } else if (run.status == 0) {
    verdict.failed = true;
    verdict.reason = "unreachable: " + HookMessage(run.error);
  } else if (run.status < 200 || run.status > 299) {
    verdict.reason = "HTTP " + std::to_string(run.status);
    verdict.failed = run.status >= 500;
  } else {
    verdict.accepted = true;
  }
  return verdict;
}

}  // namespace

std::optional<HookTarget> HookTarget::Parse(const std::string& text, std::string* why) {
  HookTarget target;
  target.text_ = text;
  if (text.starts_with("http://") || text.starts_with("https://")) {
    std::optional<HookUrl> url = ParseHookUrl(text, why);
    if (!url) return std::nullopt;
    target.where_ = std::move(*url);
    return target;
  }
  std::optional<std::vector<std::string>> argv = SplitHookCommand(text, why);
  if (!argv) return std::nullopt;
  target.where_ = std::move(*argv);
  return target;
}

HookVerdict HookTarget::Run(const std::string& json, const std::map<std::string, std::string>& variables,
                            Clock::time_point deadline, int data_fd) const {
  const Clock::duration allowed = deadline - Clock::now();
  if (const HookUrl* url = std::get_if<HookUrl>(&where_)) {
    return HttpVerdict(PostHookDocument(*url, json, deadline), allowed);
  }
  std::vector<std::string> environment = {kHookPath, "LANG=C.UTF-8"};
  for (const auto& [name, value] : variables) environment.push_back(name + "=" + value);
  const ProcessRun run =
      RunHookProcess(std::get<std::vector<std::string>>(where_), environment, json, deadline, data_fd);
  return CommandVerdict(run, allowed);
}

}  // namespace zimrax::zmfile
