// A file field of a FormStream: keeps what a stored name can be made of
// from the file name its SectionReader hands on, writes the data into a
// temporary file as it comes, and at the end settles and publishes the
// outcome FileSave would give on the whole body.
#ifndef ZIMRAX_CORE_STREAMED_FILE_FIELD_H_
#define ZIMRAX_CORE_STREAMED_FILE_FIELD_H_

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/section_reader.h"
#include "storage/atomic_file_writer.h"
#include "zimrax/form_stream.h"

namespace zimrax {

class StreamedFileField final : public SectionSink {
 public:
  // `policy` is the one given before the body, if any. The temporary file
  // is made through `shared` (the stream's one descriptor of the
  // directory), once `may_open_file` (when set) allows it; when it does
  // not, the field fails with EMFILE as if the descriptors had run out.
  // `tap`, when set, sees the data as FormStreamOptions::on_file_data
  // says, and drops the field by returning false.
  // REQUIRES: `directory` outlives the field.
  using DataTap = std::function<bool(ByteView data)>;
  StreamedFileField(const std::string& directory, std::optional<ConflictPolicy> policy, bool durable,
                    std::shared_ptr<SharedDirectory> shared = nullptr,
                    std::function<bool()> may_open_file = nullptr, DataTap tap = nullptr);

  void FileNameBytes(ByteView bytes) override;
  void FileNameEnd() override;
  bool DataStart() override;
  bool Data(ByteView first, ByteView second) override;

  // Starts over, as for a field not found yet; nothing written stays.
  void Reset();
  // Drops whatever was written; no more is.
  void Discard();
  // Discard was called, or the tap dropped the field.
  bool Discarded() const { return discarded_; }

  // The outcome under `policy`, published if it is a success. REQUIRES:
  // the field's section was found and `reader` has read everything.
  FieldOutcome Finish(const SectionReader& reader, ConflictPolicy policy);

 private:
  // The stored name: the part after the file name's last "\" or "/".
  bool NameIsAcceptable() const;
  // Passes `data` to the tap; false (and the field discarded) when the tap
  // refuses it or throws.
  bool Tapped(ByteView data);

  const std::string& directory_;
  std::optional<ConflictPolicy> policy_;
  bool durable_;
  std::string write_directory_;  // the directory part of every destination path
  std::uint64_t name_bytes_ = 0; // of the whole file name, client path included
  std::string last_piece_;       // at most one byte over the longest entry name
  bool piece_too_long_ = false;
  bool piece_has_nul_ = false;
  bool refused_early_ = false;   // nothing will be stored: no bytes are written
  bool discarded_ = false;
  std::shared_ptr<SharedDirectory> shared_directory_;
  std::function<bool()> may_open_file_;
  DataTap tap_;
  std::optional<AtomicFileWriter> writer_;
  StoreReport write_failure_;    // kStored while the writing went well
  bool opening_failed_ = false;  // write_failure_ came from creating the temporary file
};

}  // namespace zimrax

#endif  // ZIMRAX_CORE_STREAMED_FILE_FIELD_H_
