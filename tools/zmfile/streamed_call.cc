#include "streamed_call.h"

#include <iostream>

#include "body_reader.h"
#include "error_context.h"
#include "exit_status.h"
#include "result_printer.h"
#include "zimrax/form_stream.h"

namespace zimrax::zmfile {
namespace {

// The command line accepts a longer first line than the server: one body,
// one process, and the memory is the caller's.
constexpr std::size_t kMaxFirstLine = std::size_t{1} << 20;

ConflictPolicy PolicyOf(const std::optional<std::string>& text) {
  if (!text) return ConflictPolicy::kError;
  std::string lower = *text;
  for (char& c : lower) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  return ParseConflictPolicy(lower);
}

}  // namespace

int RunStreamedCall(const std::string& body_path, const StreamedRequest& request, bool json) {
  FormStreamOptions options;
  options.max_first_line = kMaxFirstLine;
  if (request.save) {
    options.directory = request.directory;
    options.file_fields = {request.field};
    options.policy = PolicyOf(request.conflict);
    options.save.durable = request.durable;
  } else {
    options.value_fields = {{request.field, static_cast<std::size_t>(-1)}};
  }
  FormStream stream(std::move(options));
  const std::string error =
      ReadBodyPieces(body_path, [&stream](std::span<const std::uint8_t> piece) { stream.Feed(piece); });
  if (!error.empty()) {
    // The stream is dropped unfinished: nothing it wrote stays.
    std::cerr << "zmfile: cannot read " << (body_path == "-" ? "standard input" : body_path) << ": " << error << '\n';
    return kExitUsage;
  }
  const FormStreamOutcome outcome = stream.Finish();
  const FieldOutcome& field = request.save ? outcome.files.front() : outcome.values.front();
  if (field.status == FieldStatus::kLimitExceeded) {
    std::cerr << "zmfile: the body's first line is longer than " << kMaxFirstLine << " bytes\n";
    return kExitUsage;
  }
  const std::string context = ErrorContext(request.save, request.field, request.directory, field.result.code,
                                           outcome.sections, outcome.more_sections);
  return PrintOutcome({field.result}, json, context);
}

}  // namespace zimrax::zmfile
