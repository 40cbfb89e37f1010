// Runs a FormStream over a body cut into pieces and the whole-body
// operations over the same body, in two directories that start alike, and
// reports the first difference: any field's outcome, the files stored (by
// name and byte), anything left behind, whether the form was complete, each
// file part's byte count. Some runs finish in two steps (FinishValues, then
// Finish), with the same outcomes. A stream that is aborted half way must
// leave its directory as it found it. Shared by the differential test and
// the fuzz target.
#ifndef ZIMRAX_TESTS_HARDENING_STREAM_EQUIVALENCE_H_
#define ZIMRAX_TESTS_HARDENING_STREAM_EQUIVALENCE_H_

#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "multipart_model.h"
#include "support/scoped_temp_dir.h"
#include "zimrax/form_data.h"
#include "zimrax/form_stream.h"

namespace zimrax::check {

struct StreamCase {
  std::vector<std::string> file_fields;
  std::vector<ValueField> value_fields;
  ConflictPolicy policy = ConflictPolicy::kError;
  bool policy_up_front = false;
  std::size_t max_first_line = kDefaultMaxFirstLine;
  std::vector<std::string> occupied;  // files that stand in the directory before
};

// Piece sizes for a body of `size` bytes: runs of 1-byte pieces, small and
// large ones, chosen by `seed`; seed 0 gives one piece.
inline std::vector<std::size_t> PieceSizes(std::size_t size, std::uint32_t seed) {
  std::vector<std::size_t> sizes;
  if (seed == 0) return {size};
  std::mt19937 rng(seed);
  for (std::size_t done = 0; done < size;) {
    std::size_t piece = 1;
    switch (rng() % 4) {
      case 0: piece = 1; break;
      case 1: piece = 1 + rng() % 7; break;
      case 2: piece = 1 + rng() % 300; break;
      default: piece = 1 + rng() % 70000; break;
    }
    piece = std::min(piece, size - done);
    sizes.push_back(piece);
    done += piece;
  }
  return sizes;
}

class StreamSandbox {
 public:
  StreamSandbox() : parent_(temp_.path()) {}
  StreamSandbox(const StreamSandbox&) = delete;
  StreamSandbox& operator=(const StreamSandbox&) = delete;
  bool ok() const { return !parent_.empty(); }

  // "" when the stream, cut by `seed`, agrees with the whole-body
  // operations; otherwise what differs.
  std::string Compare(std::span<const std::uint8_t> body, const StreamCase& c, std::uint32_t seed) {
    return Compare(body, c, PieceSizes(body.size(), seed), seed % 2 == 0, seed % 3 == 1);
  }

  // The same with the pieces given; `explicit_abort` picks Abort() over the
  // destructor for the aborted run, `two_steps` FinishValues before Finish.
  std::string Compare(std::span<const std::uint8_t> body, const StreamCase& c, const std::vector<std::size_t>& sizes,
                      bool explicit_abort, bool two_steps = false) {
    const std::filesystem::path whole = Fresh("whole", c.occupied);
    const std::filesystem::path streamed = Fresh("stream", c.occupied);
    const std::filesystem::path aborted = Fresh("aborted", c.occupied);
    const Listing before = List(streamed);

    std::vector<OperationResult> expected_files;
    for (const std::string& name : c.file_fields) expected_files.push_back(FileSave(body, name, whole.string(), c.policy));
    std::vector<OperationResult> expected_values;
    for (const ValueField& field : c.value_fields) expected_values.push_back(FormFieldValue(body, field.name));

    FormStreamOutcome outcome;
    FormStreamOutcome values_first;
    bool complete = false;
    std::vector<std::optional<std::uint64_t>> data_bytes;
    {
      FormStream stream(Options(streamed, c));
      std::size_t done = 0;
      for (const std::size_t size : sizes) {
        stream.Feed(body.subspan(done, size));
        done += size;
      }
      if (two_steps) {
        values_first = stream.FinishValues();
        if (!values_first.files.empty()) return "FinishValues gave file outcomes";
        if (List(streamed) != before) return "FinishValues published something";
      }
      outcome = stream.Finish(c.policy_up_front ? std::nullopt : std::optional<ConflictPolicy>(c.policy));
      complete = stream.FormComplete();
      for (const std::string& name : c.file_fields) data_bytes.push_back(stream.FileDataBytes(name));
    }
    {
      FormStream stream(Options(aborted, c));
      std::size_t done = 0;
      for (std::size_t i = 0; i < sizes.size() / 2; ++i) {
        stream.Feed(body.subspan(done, sizes[i]));
        done += sizes[i];
      }
      if (explicit_abort) stream.Abort();  // otherwise the destructor aborts
    }
    if (List(aborted) != before) return "an aborted stream left something behind";

    const bool over_cap = FirstLineOverCap(body, c.max_first_line);
    if (outcome.files.size() != c.file_fields.size() || outcome.values.size() != c.value_fields.size()) {
      return "wrong number of outcomes";
    }
    if (two_steps) {
      if (values_first.values.size() != c.value_fields.size()) return "FinishValues: wrong number of values";
      for (std::size_t i = 0; i < c.value_fields.size(); ++i) {
        const std::string broken =
            SameOutcome(values_first.values[i], expected_values[i], over_cap, c.value_fields[i].max_bytes);
        if (!broken.empty()) return "FinishValues, value field " + c.value_fields[i].name + ": " + broken;
      }
      if (values_first.sections != outcome.sections || values_first.more_sections != outcome.more_sections) {
        return "FinishValues and Finish walked different sections";
      }
    }
    if (complete != (!over_cap && EndsWithClosingLine(body))) {
      return complete ? "complete, but the body does not end with its closing delimiter line"
                      : "not complete, but the body ends with its closing delimiter line";
    }
    for (std::size_t i = 0; i < c.file_fields.size(); ++i) {
      const std::string broken = SameDataBytes(body, c.file_fields[i], over_cap, data_bytes[i]);
      if (!broken.empty()) return "file field " + c.file_fields[i] + ": " + broken;
    }
    for (std::size_t i = 0; i < c.file_fields.size(); ++i) {
      const std::string broken = SameOutcome(outcome.files[i], expected_files[i], over_cap, SIZE_MAX);
      if (!broken.empty()) return "file field " + c.file_fields[i] + ": " + broken;
    }
    for (std::size_t i = 0; i < c.value_fields.size(); ++i) {
      const std::string broken = SameOutcome(outcome.values[i], expected_values[i], over_cap, c.value_fields[i].max_bytes);
      if (!broken.empty()) return "value field " + c.value_fields[i].name + ": " + broken;
    }
    if (over_cap) return List(streamed) == before ? "" : "a stream over the first-line cap stored something";
    return List(streamed) == List(whole) ? "" : "the directories differ";
  }

 private:
  // Name -> content ("<dir>" or "<link>" for those); hidden names included.
  using Listing = std::map<std::string, std::string>;

  std::filesystem::path Fresh(const char* name, const std::vector<std::string>& occupied) {
    const std::filesystem::path dir = parent_ / name;
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    std::filesystem::create_directory(dir, ignored);
    for (const std::string& file : occupied) std::ofstream(dir / file, std::ios::binary) << "previous content";
    return dir;
  }

  static Listing List(const std::filesystem::path& dir) {
    Listing entries;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ignored)) {
      const std::string name = entry.path().filename().string();
      if (entry.is_symlink(ignored)) {
        entries[name] = "<link>";
      } else if (entry.is_directory(ignored)) {
        entries[name] = "<dir>";
      } else {
        std::ifstream in(entry.path(), std::ios::binary);
        entries[name] = std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      }
    }
    return entries;
  }

  static FormStreamOptions Options(const std::filesystem::path& dir, const StreamCase& c) {
    FormStreamOptions options;
    options.directory = dir.string();
    options.file_fields = c.file_fields;
    options.value_fields = c.value_fields;
    if (c.policy_up_front) options.policy = c.policy;
    options.max_first_line = c.max_first_line;
    return options;
  }

  static bool FirstLineOverCap(std::span<const std::uint8_t> body, std::size_t cap) {
    for (std::size_t i = 0; i + 1 < body.size(); ++i) {
      if (body[i] == '\r' && body[i + 1] == '\n') return i > cap;
    }
    return body.size() > cap + 1;
  }

  // The body ends with CR LF, its first line, "--", and at most one CR LF.
  static bool EndsWithClosingLine(std::span<const std::uint8_t> body) {
    const std::string text(body.begin(), body.end());
    const std::size_t line_break = text.find("\r\n");
    if (line_break == std::string::npos || line_break == 0) return false;
    const std::string closing = "\r\n" + text.substr(0, line_break) + "--";
    return text.ends_with(closing) || text.ends_with(closing + "\r\n");
  }

  // The data's length, where the whole-body scan reaches it.
  static std::string SameDataBytes(std::span<const std::uint8_t> body, const std::string& field, bool over_cap,
                                   const std::optional<std::uint64_t>& got) {
    if (over_cap) return got ? "a byte count over the first-line cap" : "";
    const model::ScanResult scan = model::FileSaveScan(std::string(body.begin(), body.end()), field);
    if (scan.fault != model::kNoFault || scan.code == 104) return "";  // the scan stops before the data
    if (scan.code != 0) return got ? "a byte count where the data is not reached" : "";
    if (got != scan.data.size()) {
      return "byte count " + (got ? std::to_string(*got) : std::string("none")) + ", whole body " +
             std::to_string(scan.data.size());
    }
    return "";
  }

  static std::string SameOutcome(const FieldOutcome& got, const OperationResult& want, bool over_cap,
                                 std::size_t value_cap) {
    if (got.status == FieldStatus::kLimitExceeded) {
      if (over_cap || (want.ok() && want.text.size() > value_cap)) return "";
      return "limit exceeded, but no cap was passed";
    }
    if (got.status != FieldStatus::kDone) return "not done";
    if (over_cap) return "a first line over the cap was read";
    const OperationResult& r = got.result;
    if (r.fault != want.fault) {
      return "fault " + std::to_string(static_cast<int>(r.fault)) + ", whole body " +
             std::to_string(static_cast<int>(want.fault));
    }
    if (r.code != want.code) return "code " + std::to_string(r.code) + ", whole body " + std::to_string(want.code);
    if (r.width != want.width) return "ErrorCode width differs";
    if (r.text != want.text) return "text \"" + r.text.substr(0, 80) + "\", whole body \"" + want.text.substr(0, 80) + "\"";
    if (r.stored_name != want.stored_name || r.replaced != want.replaced) return "stored name or replaced differs";
    if (r.platform_errno != want.platform_errno) return "errno differs";
    return "";
  }

  testing::ScopedTempDir temp_;  // the parent, removed with everything in it
  std::filesystem::path parent_;
};

}  // namespace zimrax::check

#endif  // ZIMRAX_TESTS_HARDENING_STREAM_EQUIVALENCE_H_
