// The C interface (zimrax/zimrax_c.h): a layer over the typed API and
// FormStream. Each entry point checks its pointers, runs the C++ call inside
// a catch-all and copies the OperationResult into storage the library owns,
// so no exception and no C++ type crosses the interface.
#include "zimrax/zimrax_c.h"

#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "zimrax/abandoned_temp_files.h"
#include "zimrax/conflict_policy.h"
#include "zimrax/form_data.h"
#include "zimrax/form_stream.h"
#include "zimrax/operation_result.h"
#include "zimrax/version.h"

#include "c_api/c_support.h"

// The handles of the header: a stream and the outcome of finishing one.
struct zimrax_stream {
  explicit zimrax_stream(zimrax::FormStreamOptions options) : form(std::move(options)) {}
  zimrax::FormStream form;
  bool ended = false;
};

struct zimrax_outcome {
  std::vector<zimrax_result> files;
  std::vector<zimrax_result> values;
  std::vector<std::unique_ptr<zimrax::c_support::ResultStorage>> storage;
  std::vector<std::string> sections;
  bool more_sections = false;
};

namespace {

using zimrax::c_support::BytesOf;
using zimrax::c_support::Fill;
using zimrax::c_support::Guarded;
using zimrax::c_support::KnownPolicy;
using zimrax::c_support::PolicyOf;
using zimrax::c_support::ResultStorage;

// A result filled by zimrax_save or zimrax_value: it owns its storage.
zimrax_call FillOwned(const zimrax::OperationResult& from, std::string_view field, zimrax_result* result) {
  auto storage = std::make_unique<ResultStorage>();
  Fill(from, field, ZIMRAX_STATUS_DONE, storage.get(), result);
  result->internal = storage.release();
  return ZIMRAX_CALL_OK;
}

zimrax_status StatusOf(zimrax::FieldStatus status) {
  switch (status) {
    case zimrax::FieldStatus::kDone:
      return ZIMRAX_STATUS_DONE;
    case zimrax::FieldStatus::kLimitExceeded:
      return ZIMRAX_STATUS_LIMIT_EXCEEDED;
    case zimrax::FieldStatus::kDiscarded:
      return ZIMRAX_STATUS_DISCARDED;
  }
  return ZIMRAX_STATUS_DONE;
}

// Collects the outcome of a finished stream into the C form.
std::unique_ptr<zimrax_outcome> ConvertOutcome(const zimrax::FormStreamOutcome& from) {
  auto outcome = std::make_unique<zimrax_outcome>();
  auto convert = [&outcome](const std::vector<zimrax::FieldOutcome>& fields, std::vector<zimrax_result>* into) {
    into->reserve(fields.size());
    for (const zimrax::FieldOutcome& field : fields) {
      outcome->storage.push_back(std::make_unique<ResultStorage>());
      zimrax_result result{};
      Fill(field.result, field.name, StatusOf(field.status), outcome->storage.back().get(), &result);
      into->push_back(result);
    }
  };
  convert(from.files, &outcome->files);
  convert(from.values, &outcome->values);
  outcome->sections = from.sections;
  outcome->more_sections = from.more_sections;
  return outcome;
}

const zimrax_result* ResultAt(const std::vector<zimrax_result>& results, std::size_t index) {
  return index < results.size() ? &results[index] : nullptr;
}

}  // namespace

extern "C" {

const char* zimrax_version(void) ZIMRAX_C_NOEXCEPT { return zimrax::kVersionString.data(); }

zimrax_conflict zimrax_conflict_parse(const char* text) ZIMRAX_C_NOEXCEPT {
  if (text == nullptr) return ZIMRAX_CONFLICT_ERROR;
  std::string lower(text);
  for (char& c : lower) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  switch (zimrax::ParseConflictPolicy(lower)) {
    case zimrax::ConflictPolicy::kOverwrite:
      return ZIMRAX_CONFLICT_OVERWRITE;
    case zimrax::ConflictPolicy::kMakeUnique:
      return ZIMRAX_CONFLICT_MAKEUNIQUE;
    case zimrax::ConflictPolicy::kError:
      break;
  }
  return ZIMRAX_CONFLICT_ERROR;
}

zimrax_call zimrax_remove_abandoned_temp_files(const char* directory, int64_t min_age_seconds,
                                               zimrax_sweep_report* report) ZIMRAX_C_NOEXCEPT {
  if (report == nullptr) return ZIMRAX_CALL_BAD_ARGUMENT;
  *report = zimrax_sweep_report{};
  if (directory == nullptr || min_age_seconds < 0) return ZIMRAX_CALL_BAD_ARGUMENT;
  return Guarded([&] {
    const zimrax::AbandonedTempFiles swept = zimrax::RemoveAbandonedTempFiles(directory, min_age_seconds);
    report->removed = swept.removed;
    report->kept_recent = swept.kept_recent;
    report->error_number = swept.error_number;
    return ZIMRAX_CALL_OK;
  });
}

zimrax_call zimrax_save(const uint8_t* body, size_t length, const char* field, const char* directory, int policy,
                        zimrax_result* result) ZIMRAX_C_NOEXCEPT {
  if (result == nullptr) return ZIMRAX_CALL_BAD_ARGUMENT;
  *result = zimrax_result{};
  if ((body == nullptr && length != 0) || field == nullptr || directory == nullptr || !KnownPolicy(policy)) {
    return ZIMRAX_CALL_BAD_ARGUMENT;
  }
  const std::optional<zimrax::ConflictPolicy> known = PolicyOf(policy);
  if (!known) return ZIMRAX_CALL_BAD_ARGUMENT;
  return Guarded(
      [&] { return FillOwned(zimrax::FileSave(BytesOf(body, length), field, directory, *known), field, result); });
}

zimrax_call zimrax_value(const uint8_t* body, size_t length, const char* field,
                         zimrax_result* result) ZIMRAX_C_NOEXCEPT {
  if (result == nullptr) return ZIMRAX_CALL_BAD_ARGUMENT;
  *result = zimrax_result{};
  if ((body == nullptr && length != 0) || field == nullptr) return ZIMRAX_CALL_BAD_ARGUMENT;
  return Guarded([&] { return FillOwned(zimrax::FormFieldValue(BytesOf(body, length), field), field, result); });
}

void zimrax_result_free(zimrax_result* result) ZIMRAX_C_NOEXCEPT {
  if (result == nullptr) return;
  delete static_cast<ResultStorage*>(result->internal);
  *result = zimrax_result{};
}

zimrax_call zimrax_stream_new(const zimrax_stream_options* options, zimrax_stream** stream) ZIMRAX_C_NOEXCEPT {
  if (stream == nullptr) return ZIMRAX_CALL_BAD_ARGUMENT;
  *stream = nullptr;
  if (options == nullptr || !KnownPolicy(options->policy)) return ZIMRAX_CALL_BAD_ARGUMENT;
  if (options->file_field_count != 0 && (options->file_fields == nullptr || options->directory == nullptr)) {
    return ZIMRAX_CALL_BAD_ARGUMENT;
  }
  if (options->value_field_count != 0 && options->value_fields == nullptr) return ZIMRAX_CALL_BAD_ARGUMENT;
  for (size_t i = 0; i < options->file_field_count; ++i) {
    if (options->file_fields[i] == nullptr) return ZIMRAX_CALL_BAD_ARGUMENT;
  }
  for (size_t i = 0; i < options->value_field_count; ++i) {
    if (options->value_fields[i].name == nullptr) return ZIMRAX_CALL_BAD_ARGUMENT;
  }
  return Guarded([&] {
    zimrax::FormStreamOptions copy;
    if (options->directory != nullptr) copy.directory = options->directory;
    copy.file_fields.assign(options->file_fields, options->file_fields + options->file_field_count);
    for (size_t i = 0; i < options->value_field_count; ++i) {
      copy.value_fields.push_back(
          zimrax::ValueField{options->value_fields[i].name, options->value_fields[i].max_bytes});
    }
    copy.policy = PolicyOf(options->policy);
    if (options->max_first_line != 0) copy.max_first_line = options->max_first_line;
    *stream = new zimrax_stream(std::move(copy));
    return ZIMRAX_CALL_OK;
  });
}

zimrax_call zimrax_stream_feed(zimrax_stream* stream, const uint8_t* piece, size_t length) ZIMRAX_C_NOEXCEPT {
  if (stream == nullptr || (piece == nullptr && length != 0)) return ZIMRAX_CALL_BAD_ARGUMENT;
  if (stream->ended) return ZIMRAX_CALL_BAD_STATE;
  const zimrax_call call = Guarded([&] {
    stream->form.Feed(BytesOf(piece, length));
    return ZIMRAX_CALL_OK;
  });
  // A stream that failed part way is in no known state: end it, leaving
  // nothing behind.
  if (call != ZIMRAX_CALL_OK) zimrax_stream_abort(stream);
  return call;
}

zimrax_call zimrax_stream_discard(zimrax_stream* stream, const char* field) ZIMRAX_C_NOEXCEPT {
  if (stream == nullptr || field == nullptr) return ZIMRAX_CALL_BAD_ARGUMENT;
  if (stream->ended) return ZIMRAX_CALL_BAD_STATE;
  return Guarded([&] {
    stream->form.Discard(field);
    return ZIMRAX_CALL_OK;
  });
}

zimrax_call zimrax_stream_finish(zimrax_stream* stream, int policy, zimrax_outcome** outcome) ZIMRAX_C_NOEXCEPT {
  if (outcome == nullptr) return ZIMRAX_CALL_BAD_ARGUMENT;
  *outcome = nullptr;
  if (stream == nullptr || !KnownPolicy(policy)) return ZIMRAX_CALL_BAD_ARGUMENT;
  if (stream->ended) return ZIMRAX_CALL_BAD_STATE;
  stream->ended = true;
  const zimrax_call call = Guarded([&] {
    *outcome = ConvertOutcome(stream->form.Finish(PolicyOf(policy))).release();
    return ZIMRAX_CALL_OK;
  });
  return call;
}

void zimrax_stream_abort(zimrax_stream* stream) ZIMRAX_C_NOEXCEPT {
  if (stream == nullptr || stream->ended) return;
  stream->ended = true;
  try {
    stream->form.Abort();
  } catch (...) {
    // Abort removes temporary files only; there is nothing more to undo.
  }
}

void zimrax_stream_free(zimrax_stream* stream) ZIMRAX_C_NOEXCEPT {
  zimrax_stream_abort(stream);
  delete stream;
}

size_t zimrax_outcome_file_count(const zimrax_outcome* outcome) ZIMRAX_C_NOEXCEPT {
  return outcome == nullptr ? 0 : outcome->files.size();
}

const zimrax_result* zimrax_outcome_file(const zimrax_outcome* outcome, size_t index) ZIMRAX_C_NOEXCEPT {
  return outcome == nullptr ? nullptr : ResultAt(outcome->files, index);
}

size_t zimrax_outcome_value_count(const zimrax_outcome* outcome) ZIMRAX_C_NOEXCEPT {
  return outcome == nullptr ? 0 : outcome->values.size();
}

const zimrax_result* zimrax_outcome_value(const zimrax_outcome* outcome, size_t index) ZIMRAX_C_NOEXCEPT {
  return outcome == nullptr ? nullptr : ResultAt(outcome->values, index);
}

size_t zimrax_outcome_section_count(const zimrax_outcome* outcome) ZIMRAX_C_NOEXCEPT {
  return outcome == nullptr ? 0 : outcome->sections.size();
}

const char* zimrax_outcome_section(const zimrax_outcome* outcome, size_t index, size_t* length) ZIMRAX_C_NOEXCEPT {
  if (outcome == nullptr || index >= outcome->sections.size()) {
    if (length != nullptr) *length = 0;
    return nullptr;
  }
  if (length != nullptr) *length = outcome->sections[index].size();
  return outcome->sections[index].c_str();
}

int zimrax_outcome_more_sections(const zimrax_outcome* outcome) ZIMRAX_C_NOEXCEPT {
  return outcome != nullptr && outcome->more_sections ? 1 : 0;
}

void zimrax_outcome_free(zimrax_outcome* outcome) ZIMRAX_C_NOEXCEPT { delete outcome; }

}  // extern "C"
