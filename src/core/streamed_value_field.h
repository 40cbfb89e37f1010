// A value field of a FormStream: collects the file name or the data that
// its SectionReader hands on, up to the caller's cap, and settles the
// outcome FormFieldValue would give on the whole body.
#ifndef ZIMRAX_CORE_STREAMED_VALUE_FIELD_H_
#define ZIMRAX_CORE_STREAMED_VALUE_FIELD_H_

#include <cstddef>
#include <string>

#include "core/section_reader.h"
#include "zimrax/form_stream.h"

namespace zimrax {

class StreamedValueField final : public SectionSink {
 public:
  explicit StreamedValueField(std::size_t max_bytes) : max_bytes_(max_bytes) {}

  void FileNameBytes(ByteView bytes) override { Collect(bytes, {}); }
  void FileNameEnd() override {}
  bool DataStart() override { return true; }
  bool Data(ByteView first, ByteView second) override { return Collect(first, second); }

  // Starts over, as for a field not found yet.
  void Reset() {
    value_.clear();
    over_cap_ = false;
  }

  // The outcome, once `reader` has read everything. REQUIRES: the field's
  // section was found.
  FieldOutcome Finish(const SectionReader& reader);

 private:
  bool Collect(ByteView first, ByteView second);

  std::size_t max_bytes_;
  std::string value_;
  bool over_cap_ = false;
};

}  // namespace zimrax

#endif  // ZIMRAX_CORE_STREAMED_VALUE_FIELD_H_
