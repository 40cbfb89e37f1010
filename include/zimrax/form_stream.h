// The streaming form of both operations: the body arrives in pieces of any
// size, file data goes to disk as it arrives, and memory stays bounded.
//
//   zimrax::FormStreamOptions options;
//   options.directory = "/srv/uploads";
//   options.file_fields = {"upload1"};
//   options.value_fields = {{"comment", 4096}, {"conflict", 64}};
//   zimrax::FormStream form(std::move(options));
//   while (/* the body goes on */) form.Feed(piece);
//   zimrax::FormStreamOutcome outcome = form.Finish(zimrax::ConflictPolicy::kMakeUnique);
//
// Or in two steps, when a value field decides how the files are stored:
//
//   zimrax::FormStreamOutcome values = form.FinishValues();
//   ... read values.values, Discard() a file field if need be ...
//   zimrax::FormStreamOutcome outcome = form.Finish(policy_from_the_form);
//   if (!form.FormComplete()) { /* the body was cut short */ }
//
// Finishing gives, for each field, exactly the OperationResult that
// FileSave or FormFieldValue (form_data.h) would give on the whole body, or
// kLimitExceeded where a cap below was passed. The memory held is the first
// line, the capped values, a few bytes per field and nothing of the file
// data: each file field's data goes into its own unnamed temporary file in
// the directory, and is published only by Finish. Each byte of the body is
// searched once, however many fields are asked for.
#ifndef ZIMRAX_FORM_STREAM_H_
#define ZIMRAX_FORM_STREAM_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "zimrax/conflict_policy.h"
#include "zimrax/export.h"
#include "zimrax/operation_result.h"
#include "zimrax/save_options.h"

namespace zimrax {

// The longest first line (the delimiter line) a stream accepts by default:
// browsers send about 40 to 70 bytes.
inline constexpr std::size_t kDefaultMaxFirstLine = 8 * 1024;
// The most section names a stream reports back.
inline constexpr std::size_t kMaxReportedSections = 200;

struct ValueField {
  std::string name;
  std::size_t max_bytes = 64 * 1024;  // a longer value ends as kLimitExceeded
};

struct FormStreamOptions {
  std::string directory;                 // where file fields are stored
  std::vector<std::string> file_fields;  // fields to store, published in this order
  std::vector<ValueField> value_fields;  // fields to read
  // The policy, when known before the body: a name taken under "error" is
  // then refused before any byte is written. Otherwise it is given to Finish.
  std::optional<ConflictPolicy> policy;
  std::size_t max_first_line = kDefaultMaxFirstLine;  // past it every field is kLimitExceeded
  SaveOptions save;  // durable: each file synced before it is published, its directory after
  // Asked before a file field's temporary file is made, when set: false
  // fails that field with the platform's "too many open files" (EMFILE,
  // result 67) and nothing is written for it; the other fields go on. The
  // stream holds one descriptor of the directory for all its fields, and
  // one per file field whose data has begun, until Finish or Abort.
  std::function<bool()> may_open_file;
  // Sees each stored file field's data, when set: once with `data` empty
  // when the field's data begins (again after a restart: whatever it saw of
  // that field before is void), then every piece in order, before it is
  // written. `field` is the field's index in file_fields. Returning false
  // drops the field as Discard does, at once: that piece and the rest are
  // not written, what was written is removed, the field ends as kDiscarded
  // (a restart does not bring it back). An exception from it counts as
  // false. Fields that write nothing (a refused name, a temporary file
  // that could not be made, a discarded field) are not passed. Called from
  // Feed, FinishValues and Finish; it must not call back into the stream.
  std::function<bool(std::size_t field, std::span<const std::uint8_t> data)> on_file_data;
};

enum class FieldStatus {
  kDone,           // `result` holds the outcome
  kLimitExceeded,  // a cap was passed; nothing was stored
  kDiscarded,      // the caller discarded the field; nothing was stored
};

struct FieldOutcome {
  std::string name;
  FieldStatus status = FieldStatus::kDone;
  OperationResult result;
};

struct FormStreamOutcome {
  std::vector<FieldOutcome> files;   // in the order of options.file_fields
  std::vector<FieldOutcome> values;  // in the order of options.value_fields
  // The names of the sections walked, in body order (at most
  // kMaxReportedSections), and whether there were more. The walk stops
  // once every field is found.
  std::vector<std::string> sections;
  bool more_sections = false;
};

class ZIMRAX_EXPORT FormStream {
 public:
  explicit FormStream(FormStreamOptions options);
  // Aborts, unless finished.
  ~FormStream();
  FormStream(FormStream&&) noexcept;
  FormStream& operator=(FormStream&&) noexcept;

  // Takes the next piece of the body; any size, 0 and 1 included.
  // REQUIRES: not finished or aborted.
  void Feed(std::span<const std::uint8_t> piece);

  // Drops the file field `name`: whatever was written for it is removed,
  // and it ends as kDiscarded. Other fields go on.
  void Discard(std::string_view name);

  // Ends the body and settles the value fields, without publishing any
  // file: `values`, `sections` and `more_sections` are filled, `files` is
  // empty. Feed may not follow; Discard and Finish may. A second call gives
  // the same. REQUIRES: not finished or aborted.
  FormStreamOutcome FinishValues();

  // Ends the body (unless FinishValues did) and publishes the file fields in
  // order. `policy` is used when none was given up front ("error" when
  // neither was); bytes written under it for a name it then refuses are
  // discarded. The values are those FinishValues gave.
  FormStreamOutcome Finish(std::optional<ConflictPolicy> policy = std::nullopt);

  // After FinishValues or Finish: true when the body ended with its closing
  // delimiter line, CR LF, the first line, "--", and at most one CR LF
  // more. A form cut short (a client that sent less than it announced)
  // ends otherwise.
  bool FormComplete() const;

  // After FinishValues or Finish: the number of data bytes of the file
  // field `name`'s part (0 for an empty file input), whether or not they
  // were stored; nullopt when its section or its data was not found, or
  // for a name not among options.file_fields.
  std::optional<std::uint64_t> FileDataBytes(std::string_view name) const;

  // Ends the body without publishing anything: nothing is left behind.
  void Abort();

 private:
  class ZIMRAX_NO_EXPORT Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace zimrax

#endif  // ZIMRAX_FORM_STREAM_H_
