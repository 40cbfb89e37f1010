// Walking every part of a form as the body streams by: each part is
// reported with its name, file name, Content-Type and other header lines,
// and the caller decides what becomes of it: store it (the name rules,
// policy and atomic publish of FormStream's file fields), read it as a
// capped value, pass its data to OnData, or skip it.
//
//   class Uploads : public zimrax::PartHandler {
//     zimrax::PartDecision OnPart(const zimrax::PartInfo& part) override {
//       if (part.file_name) return zimrax::PartDecision::Store();
//       return zimrax::PartDecision::Read(4096);
//     }
//   } uploads;
//   zimrax::PartStreamOptions options;
//   options.directory = "/srv/uploads";
//   zimrax::PartStream form(std::move(options), &uploads);
//   while (/* the body goes on */) form.Feed(piece);
//   zimrax::PartStreamOutcome outcome = form.Finish(zimrax::ConflictPolicy::kMakeUnique);
//
// The framing is the component's own, the one FileSave and FormFieldValue
// use: the delimiter is the body's first line, whatever it holds; a part is
// found by its "Content-Disposition: form-data; name=\"" text; its header
// lines are those after that name up to the first empty line; its data ends
// two bytes before the next delimiter. Storing a part gives exactly what
// FileSave gives for the first part of that name on the whole body, and
// reading it what FormFieldValue gives (a file part's value is its file
// name).
//
// A part is reported once its headers end (the empty line after them), or,
// for a part whose headers never end, when the body ends: in body order for
// any well-formed form.
//
// Restarts. A body whose first line is empty or missing has a one-NUL-byte
// delimiter; its walk assumes no NUL comes and starts again from the body's
// start when one does. Then OnRestart is called: every part reported so far
// is void. Nothing stored for them is published (files are published only
// by Finish), but data already passed to OnData cannot be taken back: a
// handler that computes from it must drop what it has. The parts are then
// reported again as the new walk finds them, indexes from 0.
#ifndef ZIMRAX_PART_STREAM_H_
#define ZIMRAX_PART_STREAM_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "zimrax/conflict_policy.h"
#include "zimrax/export.h"
#include "zimrax/form_stream.h"
#include "zimrax/operation_result.h"
#include "zimrax/save_options.h"

namespace zimrax {

inline constexpr std::size_t kDefaultMaxParts = 1000;
inline constexpr std::size_t kDefaultMaxPartHeaderBytes = 16 * 1024;
inline constexpr std::size_t kDefaultMaxPartValueBytes = 64 * 1024;

struct PartInfo {
  std::size_t index = 0;                  // body order, from 0 (again after a restart)
  std::string name;                       // as FileSave and FormFieldValue compare it
  std::optional<std::string> file_name;   // the file name as sent, client path included
  std::string content_type;               // the Content-Type line's value, "" without one
  std::vector<std::string> header_lines;  // the other header lines after the name, as sent
  bool data_found = false;                // false: the body ended before the headers did
};

enum class PartAction {
  kSkip,         // its data is only searched through
  kStore,        // stored as FileSave would store it; published by Finish
  kRead,         // read as FormFieldValue would read it, up to max_value_bytes
  kTap,          // its data goes to OnData only
  kDecideLater,  // the data is held in memory until PartStream::Decide
};

struct PartDecision {
  PartAction action = PartAction::kSkip;
  bool tap = false;                                         // also pass the data to OnData (with kStore or kRead)
  std::string directory;                                    // for kStore; "" for the options' directory
  std::optional<ConflictPolicy> policy;                     // for kStore; unset for the one given to Finish
  std::size_t max_value_bytes = kDefaultMaxPartValueBytes;  // for kRead

  static PartDecision Skip() { return {}; }
  static PartDecision Store() { return With(PartAction::kStore); }
  static PartDecision Read(std::size_t max_bytes) {
    PartDecision decision = With(PartAction::kRead);
    decision.max_value_bytes = max_bytes;
    return decision;
  }
  static PartDecision Tap() { return With(PartAction::kTap); }
  static PartDecision Later() { return With(PartAction::kDecideLater); }

 private:
  static PartDecision With(PartAction action) {
    PartDecision decision;
    decision.action = action;
    return decision;
  }
};

class PartHandler {
 public:
  virtual ~PartHandler() = default;
  // A part whose headers ended. Called from Feed or Finish; it may not
  // call back into the stream except Decide.
  virtual PartDecision OnPart(const PartInfo& part) = 0;
  // The next bytes of a tapped part's data, in order. An empty part gets none.
  virtual void OnData(std::size_t index, std::span<const std::uint8_t> bytes) {
    (void)index;
    (void)bytes;
  }
  // Every part reported so far is void (see Restarts above).
  virtual void OnRestart() {}
};

enum class PartStatus {
  kDone,           // `result` holds the outcome (kStore, kRead)
  kSkipped,        // skipped or only tapped
  kLimitExceeded,  // a read value went past its max_value_bytes
  kHeaderTooLong,  // its headers went past max_header_bytes; it was not offered
};

struct PartOutcome {
  std::size_t index = 0;
  std::string name;
  PartAction action = PartAction::kSkip;
  PartStatus status = PartStatus::kSkipped;
  OperationResult result;
  std::optional<std::uint64_t> data_bytes;  // nullopt when the data was not found
};

enum class PartStreamStatus {
  kOk,
  kTooManyParts,      // parts past max_parts were not reported
  kFirstLineTooLong,  // nothing was reported
};

struct PartStreamOutcome {
  PartStreamStatus status = PartStreamStatus::kOk;
  std::vector<PartOutcome> parts;  // every part reported, in the order reported
  bool form_complete = false;      // as FormStream::FormComplete
};

struct PartStreamOptions {
  std::string directory;  // where kStore puts a part unless its decision names one
  std::size_t max_first_line = kDefaultMaxFirstLine;
  std::size_t max_parts = kDefaultMaxParts;
  std::size_t max_header_bytes = kDefaultMaxPartHeaderBytes;  // from the name's closing quote to the empty line
  SaveOptions save;
};

class ZIMRAX_EXPORT PartStream {
 public:
  // REQUIRES: `handler` outlives the stream.
  PartStream(PartStreamOptions options, PartHandler* handler);
  // Aborts, unless finished.
  ~PartStream();
  PartStream(PartStream&&) noexcept;
  PartStream& operator=(PartStream&&) noexcept;

  // Takes the next piece of the body; any size. REQUIRES: not finished.
  void Feed(std::span<const std::uint8_t> piece);

  // Ends the body without finishing: the data held back in front of a
  // possible delimiter goes out, and the parts whose headers never ended
  // are reported, so that a handler sees every byte and every part before
  // Finish, and may still Decide. Feed may not follow. Finish does it too.
  void EndBody();

  // Decides part `index`, which OnPart answered with kDecideLater: the data
  // held for it goes where `decision` says. Returns false when no such part
  // waits (decided, voided by a restart, or unknown). Allowed until Finish.
  bool Decide(std::size_t index, PartDecision decision);

  // Ends the body (EndBody): parts still waiting for a decision are skipped, the
  // stored parts are published in body order under their policy (`policy`
  // when their decision gave none; "error" when neither did).
  PartStreamOutcome Finish(std::optional<ConflictPolicy> policy = std::nullopt);

  // Ends the body without publishing anything: nothing is left behind.
  void Abort();

 private:
  class ZIMRAX_NO_EXPORT Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace zimrax

#endif  // ZIMRAX_PART_STREAM_H_
