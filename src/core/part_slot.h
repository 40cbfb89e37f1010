// One part of a PartStream: reads its section from the name on (file name
// and data alike, whatever the part turns out to be), keeps its header
// bytes up to the cap, and once its headers end (or pass the cap) and every
// earlier part was reported, asks the handler what to do; then hands the
// data to a file field, a value field and the tap as decided. Data that
// comes before the decision (a late one, or a part whose turn has not come)
// is held in memory.
#ifndef ZIMRAX_CORE_PART_SLOT_H_
#define ZIMRAX_CORE_PART_SLOT_H_

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "core/section_reader.h"
#include "core/streamed_file_field.h"
#include "core/streamed_value_field.h"
#include "zimrax/part_stream.h"

namespace zimrax {

class PartSlot final : public SectionSink {
 public:
  // `next_report` counts the parts reported; a part is reported only in
  // its turn. REQUIRES: `delimiter`, `options`, `handler` and `next_report`
  // outlive the slot.
  PartSlot(std::size_t index, std::string name, const SearchPattern* delimiter, Position name_end,
           const PartStreamOptions* options, PartHandler* handler, std::size_t* next_report);
  PartSlot(const PartSlot&) = delete;
  PartSlot& operator=(const PartSlot&) = delete;

  // The next bytes of the body from the name's closing quote on.
  void Consume(ByteView bytes);
  const SectionReader& Reader() const { return reader_; }
  bool Reading() const { return !reader_.Done(); }
  bool Waiting() const { return waiting_; }
  // Its headers ended, passed the cap, or the body ended.
  bool ReadyToReport() const { return ready_ && !reported_; }
  // Asks the handler. REQUIRES: ReadyToReport() and it is this part's turn.
  void Report();

  // A late decision for a part that OnPart answered with kDecideLater.
  void Decide(PartDecision decision);

  // The body has ended: the reader finishes, and a part not reported yet is
  // reported now.
  void EndOfBody();
  // The outcome; a stored part is published under its policy, or
  // `fallback`. `void_fault` voids the part (the walk faulted before it).
  PartOutcome Finish(ConflictPolicy fallback, RuntimeError void_fault);
  // Nothing written for it stays.
  void Discard();

  void FileNameBytes(ByteView bytes) override;
  void FileNameEnd() override {
    has_file_name_ = true;  // an empty one gets no bytes
    file_name_closed_ = true;
  }
  bool DataStart() override;
  bool Data(ByteView first, ByteView second) override;

 private:
  void Apply(PartDecision decision);
  bool HeaderTooLong() const;
  PartInfo Info() const;
  bool Wanted() const;

  std::size_t index_;
  std::string name_;
  const PartStreamOptions& options_;
  PartHandler& handler_;
  SectionReader reader_;
  Position name_end_;
  std::vector<std::uint8_t> header_;  // bytes from the name on, at most the cap and one
  std::string file_name_;             // at most the header cap
  bool has_file_name_ = false;
  bool file_name_closed_ = false;
  std::size_t& next_report_;
  bool ready_ = false;
  bool reported_ = false;
  bool waiting_ = false;            // OnPart answered kDecideLater
  bool decided_ = false;            // a decision was applied
  std::vector<std::uint8_t> held_;  // data before the decision
  PartDecision decision_;
  std::string directory_;
  std::optional<StreamedFileField> file_;
  std::optional<StreamedValueField> value_;
  bool file_wants_ = false;   // file_ takes data
  bool value_wants_ = false;  // value_ takes data
  bool tap_ = false;
  bool header_too_long_ = false;  // it was not offered to the handler
};

}  // namespace zimrax

#endif  // ZIMRAX_CORE_PART_SLOT_H_
