#include "streamed_call.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <vector>

#include "exit_status.h"
#include "result_printer.h"
#include "zimrax/automation/automation_error.h"
#include "zimrax/form_stream.h"

namespace zimrax::zmfile {
namespace {

// A pipe hands over at most 64 KiB at a time; larger reads cost nothing.
constexpr std::size_t kReadSize = std::size_t{256} << 10;
// The command line accepts a longer first line than the server: one body,
// one process, and the memory is the caller's.
constexpr std::size_t kMaxFirstLine = std::size_t{1} << 20;

ConflictPolicy PolicyOf(const std::optional<std::string>& text) {
  if (!text) return ConflictPolicy::kError;
  std::string lower = *text;
  for (char& c : lower) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  return ParseConflictPolicy(lower);
}

// The outcome as the automation object would have left it.
CallOutcome AsCallOutcome(const FieldOutcome& field) {
  CallOutcome outcome;
  const OperationResult& result = field.result;
  if (result.faulted()) {
    outcome.error_code = Variant(std::int16_t{0});
    outcome.fault = AutomationError(result.fault);
    return outcome;
  }
  outcome.error_code = result.width == ErrorCodeWidth::kInt32 ? Variant(result.code)
                                                              : Variant(static_cast<std::int16_t>(result.code));
  outcome.result = Variant(result.text);
  return outcome;
}

}  // namespace

bool IsStreamedBody(const std::string& body_path) {
  if (body_path == "-") return true;
  struct stat info {};
  return ::stat(body_path.c_str(), &info) == 0 && !S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode);
}

int RunStreamedCall(const std::string& body_path, const StreamedRequest& request, bool json) {
  const int fd = body_path == "-" ? STDIN_FILENO : ::open(body_path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    std::cerr << "zmfile: cannot read " << body_path << ": " << std::strerror(errno) << '\n';
    return kExitUsage;
  }
  FormStreamOptions options;
  options.max_first_line = kMaxFirstLine;
  if (request.save) {
    options.directory = request.directory;
    options.file_fields = {request.field};
    options.policy = PolicyOf(request.conflict);
  } else {
    options.value_fields = {{request.field, static_cast<std::size_t>(-1)}};
  }
  FormStream stream(std::move(options));
  std::vector<std::uint8_t> buffer(kReadSize);
  for (;;) {
    const ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int error = errno;
      if (fd != STDIN_FILENO) ::close(fd);
      std::cerr << "zmfile: cannot read " << (body_path == "-" ? "standard input" : body_path) << ": "
                << std::strerror(error) << '\n';
      return kExitUsage;  // the stream's destructor leaves nothing behind
    }
    if (n == 0) break;
    stream.Feed(std::span<const std::uint8_t>(buffer.data(), static_cast<std::size_t>(n)));
  }
  if (fd != STDIN_FILENO) ::close(fd);
  const FormStreamOutcome outcome = stream.Finish();
  const FieldOutcome& field = request.save ? outcome.files.front() : outcome.values.front();
  if (field.status == FieldStatus::kLimitExceeded) {
    std::cerr << "zmfile: the body's first line is longer than " << kMaxFirstLine << " bytes\n";
    return kExitUsage;
  }
  return PrintOutcome(AsCallOutcome(field), json);
}

}  // namespace zimrax::zmfile
